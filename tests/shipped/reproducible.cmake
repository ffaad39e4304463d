# Two clean builds of the shipped updater give the same bytes: the updater
# (and the payloads it embeds) is built a second time from scratch, in a
# folder of its own, and compared with this tree's image. Neither build's
# folders, nor the sources', may appear in the image.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME shipped_reproducible_build
    COMMAND ${CMAKE_COMMAND}
            -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
            -DREFERENCE=$<TARGET_FILE:TagmindEngineMMLibUpdater>
            -DREFERENCE_BUILD_DIR=${CMAKE_BINARY_DIR}
            -DSCRATCH=${CMAKE_BINARY_DIR}/reproducible-build
            -DGENERATOR=${CMAKE_GENERATOR}
            -DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}
            -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}
            -DBUILD_TYPE=${CMAKE_BUILD_TYPE}
            -DHOST_BIN_DIR=${TAGMIND_HOST_BIN_DIR}
            -DPAYLOAD_LINE37=${TAGMIND_PAYLOAD_LINE37}
            -DPAYLOAD_LINE38=${TAGMIND_PAYLOAD_LINE38}
            -P ${CMAKE_CURRENT_LIST_DIR}/reproducible_build.cmake)
  set_tests_properties(shipped_reproducible_build PROPERTIES TIMEOUT 1800)
endif()
