# Manager service control (install/manager_service.*) on Wine's real service
# control manager, with the stand-in "TagmindMgr" of fixtures/manager_service.
tagmind_add_wine_test(manager_service_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/manager_service_test.cpp
                      TIMEOUT 300)
if(TARGET tagmind_mgr_fixture)
  add_dependencies(manager_service_test tagmind_mgr_fixture)
endif()
