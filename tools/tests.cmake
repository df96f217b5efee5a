# The shell tools' tests, each beside its tool: they drive it with stand-ins
# first on PATH. Each waits for the events it needs a minute at most.
add_test(NAME cached-root_test COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/cached-root_test.sh)
add_test(NAME check-userns_test COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check-userns_test.sh)
add_test(NAME debian-root_test COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/debian-root_test.sh)
add_test(NAME install-deps_test COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/install-deps_test.sh)
add_test(NAME private-mounts_test COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/private-mounts_test.sh)
set_tests_properties(cached-root_test check-userns_test debian-root_test install-deps_test
                     private-mounts_test PROPERTIES TIMEOUT 180)
