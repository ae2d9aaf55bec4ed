# QZ_SANITIZE is a list of sanitizers, for example "address;undefined" or "thread".
set(QZ_SANITIZE "" CACHE STRING "Sanitizers to build with (address;undefined or thread)")
add_library(qz_sanitizers INTERFACE)
if(QZ_SANITIZE)
    list(JOIN QZ_SANITIZE "," qz_sanitize_list)
    target_compile_options(
        qz_sanitizers INTERFACE -fsanitize=${qz_sanitize_list} -fno-omit-frame-pointer
                                -fno-sanitize-recover=all)
    target_link_options(qz_sanitizers INTERFACE -fsanitize=${qz_sanitize_list})
endif()
