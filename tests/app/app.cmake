# The command-line test runs the real executable.
if(TARGET app_commandline)
  add_dependencies(app_commandline lumetra-viewer)
  target_compile_definitions(app_commandline PRIVATE KVN_VIEWER_EXE="$<TARGET_FILE:lumetra-viewer>")
endif()
