# The converter's tests run the installed-style executable itself.
if(TEST driver_convert)
  add_dependencies(driver_convert lumetra-convert)
  set_property(TEST driver_convert APPEND PROPERTY ENVIRONMENT "KVN_CONVERT=$<TARGET_FILE:lumetra-convert>")
endif()
