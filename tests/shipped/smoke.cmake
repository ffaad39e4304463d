# The shipped i686 updater run under wine32 (qemu), launched by a 64-bit
# driver in the same prefix. Each run of the 32-bit exe costs a minute or
# more, so the scenarios are few and run side by side.
tagmind_add_wine_test(shipped_smoke_test NO_TEST SOURCES smoke_test.cpp)
add_dependencies(shipped_smoke_test tagmind_mgr_fixture)
tagmind_add_wine_cases(shipped_smoke_test TIMEOUT 900 CASES
  ShippedUpdater.SilentRunWithoutProductStartsAndExitsZero
  ShippedUpdater.SilentUpdateOfABusyInstallation)
# The longest runs of the suite: start them first so the rest runs beside them.
set_tests_properties(
  "shipped_smoke_test:ShippedUpdater.SilentRunWithoutProductStartsAndExitsZero"
  "shipped_smoke_test:ShippedUpdater.SilentUpdateOfABusyInstallation"
  PROPERTIES COST 10000)
