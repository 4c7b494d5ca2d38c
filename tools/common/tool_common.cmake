# Helpers shared by the command-line tools (error exit, SIGPIPE, stderr
# logging, option values, the validation options of check and seal, the
# one-server resolver). Each tool's <tool>.cmake includes this file.
include_guard(GLOBAL)
add_library(tollbrook_tool_common STATIC ${CMAKE_CURRENT_LIST_DIR}/tool_support.cpp
                                         ${CMAKE_CURRENT_LIST_DIR}/validation_args.cpp
                                         ${CMAKE_CURRENT_LIST_DIR}/tool_resolver.cpp)
target_link_libraries(tollbrook_tool_common PUBLIC tollbrook)
