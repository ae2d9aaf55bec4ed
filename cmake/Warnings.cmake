# Every target of the project links qz_warnings.
add_library(qz_warnings INTERFACE)
target_compile_options(qz_warnings INTERFACE -Wall -Wextra -Werror)
