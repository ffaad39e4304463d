# Static reading of the updater's PE image (headers, imports, resources) with
# Debian's python3-pefile. The i686 tree checks the shipped exe; the 64-bit
# tree (tests/run) checks the test vehicle, which differs only in machine and
# PE32+.
set(TAGMIND_PEFILE_PYTHON /usr/bin/python3 CACHE FILEPATH "a Python with the pefile module")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME shipped_static_check
    COMMAND ${TAGMIND_PEFILE_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/check_pe.py
            $<TARGET_FILE:TagmindEngineMMLibUpdater>)
else()
  add_test(NAME vehicle_static_check
    COMMAND ${TAGMIND_PEFILE_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/check_pe.py --vehicle
            $<TARGET_FILE:TagmindEngineMMLibUpdater>)
endif()
