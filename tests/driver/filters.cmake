# SciPy computes the reference designs and outputs the filter test compares against; CTest runs it first.
set(KVN_FILTER_REFERENCE ${CMAKE_CURRENT_BINARY_DIR}/filter_reference.txt)
add_test(NAME driver_filters_reference
         COMMAND ${KVN_VENV_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/filter_reference.py ${KVN_FILTER_REFERENCE})
set_tests_properties(driver_filters_reference PROPERTIES FIXTURES_SETUP filter_reference TIMEOUT 300)
set_property(TEST driver_filters APPEND PROPERTY ENVIRONMENT "KVN_FILTER_REFERENCE=${KVN_FILTER_REFERENCE}")
set_tests_properties(driver_filters PROPERTIES FIXTURES_REQUIRED filter_reference)
