# The I/O manager's sources, part of vel_kernel (included from platform/kernel/CMakeLists.txt).
target_sources(vel_kernel PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/cancel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/devices.cpp
  ${CMAKE_CURRENT_LIST_DIR}/files.cpp
  ${CMAKE_CURRENT_LIST_DIR}/interfaces.cpp
  ${CMAKE_CURRENT_LIST_DIR}/io_manager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/irp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/names.cpp
  ${CMAKE_CURRENT_LIST_DIR}/references.cpp
  ${CMAKE_CURRENT_LIST_DIR}/send.cpp)
