# Warnings and sanitizer flags shared by every target of the project.
add_compile_options(-Wall -Wextra -Werror -Wno-unused-parameter)

if(VEL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VEL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VEL_SANITIZE must be '', 'address' or 'thread'")
endif()

if(VEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz build needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Driver modules: a shared library loaded with RTLD_LOCAL whose only visible symbol is the
# entry point, like a kernel image's export table. Each carries its own copy of the common
# driver code (binding stub and shared helpers).
#   vel_driver_module(<name> SOURCES <files...> [DEFINITIONS <defs...>])
function(vel_driver_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEFINITIONS" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES} ${VEL_DRIVER_COMMON_SOURCES})
  # Kernel calls resolve against the platform library; its headers stay out of reach.
  target_link_libraries(${name} PRIVATE vel_seam $<LINK_ONLY:velplatform>)
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/drivers")
endfunction()
