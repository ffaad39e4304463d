# cmake -DSZDD=tool -DFOLDER=dir -P pack_samples.cmake
# Packs every NAME.bin of FOLDER into NAME.szdd with the tool.
file(GLOB inputs "${FOLDER}/*.bin")
if(NOT inputs)
  message(FATAL_ERROR "no samples in ${FOLDER}")
endif()
foreach(input ${inputs})
  string(REGEX REPLACE "\\.bin$" ".szdd" output "${input}")
  execute_process(COMMAND "${SZDD}" "${input}" "${output}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "szdd failed on ${input}: ${rc}")
  endif()
endforeach()
