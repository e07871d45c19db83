# The manager's dialogs (format settings, login, change password), their
# password edits, and their tests. Included from manager/CMakeLists.txt after
# orvane_core is defined.
if(QUENDAL_BUILD_GUI)
  target_sources(orvane_core PRIVATE
    Formatsettingdlg.cpp Formatsettingdlg.h Logindlg.cpp Logindlg.h
    Changepwddlg.cpp Changepwddlg.h PasswordEdit.cpp PasswordEdit.h DialogStyle.cpp DialogStyle.h)

  if(QUENDAL_BUILD_TESTS)
    find_package(Qt6 REQUIRED COMPONENTS Test)
    foreach(t formatsetting formatrun login changepwd)
      if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${t}_test.cpp)
        continue()
      endif()
      quendal_add_test(manager_${t}_test SOURCES tests/${t}_test.cpp LIBS orvane_core flashemu Qt6::Test xcb)
      target_include_directories(manager_${t}_test PRIVATE ${PROJECT_SOURCE_DIR}/platform/ui/tests
                                 ${PROJECT_SOURCE_DIR}/tests/support ${PROJECT_SOURCE_DIR}/common/include)
      target_compile_definitions(manager_${t}_test PRIVATE ARTIFACT_DIR="${CMAKE_BINARY_DIR}/test-artifacts")
      add_dependencies(manager_${t}_test Quendal SCSI orvane_images)
      set_tests_properties(manager_${t}_test PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
    endforeach()
  endif()
endif()
