# The payloads the i686 build embeds (sizes, versions, a byte-for-byte
# expansion by Debian's msexpand) and the refusal of unfit libraries.
add_test(NAME shipped_payloads
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/payloads_test.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}
          ${TAGMIND_HOST_BIN_DIR})
set_tests_properties(shipped_payloads PROPERTIES TIMEOUT 300)
