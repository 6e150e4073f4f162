# The layers: every include under src/ keeps to the layer graph (tools/check_layers.py), and the
# check itself fails on includes planted in scratch copies of src/.
find_program(QUIVER_PYTHON3 NAMES python3 python REQUIRED)
add_test(NAME layers
         COMMAND ${QUIVER_PYTHON3} ${PROJECT_SOURCE_DIR}/tools/check_layers.py
                 ${PROJECT_SOURCE_DIR}/src)
add_test(NAME layers_check_catches_wrong_includes
         COMMAND ${QUIVER_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/layers/test_check_layers.py
                 ${PROJECT_SOURCE_DIR}/tools/check_layers.py ${PROJECT_SOURCE_DIR}/src)
set_tests_properties(layers layers_check_catches_wrong_includes PROPERTIES LABELS layers
                                                                           TIMEOUT 60)
