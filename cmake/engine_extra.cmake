# Extra engine build steps: the OpenCL kernel text, compressed into the engine at build time.
pkg_check_modules(LZ4 REQUIRED IMPORTED_TARGET liblz4)

add_executable(kestrune_kernel_pack tools/kernel_pack.cpp)
target_link_libraries(kestrune_kernel_pack PRIVATE PkgConfig::LZ4)

set(KESTRUNE_KERNEL_PACKED ${CMAKE_BINARY_DIR}/generated/gpu_kernel_packed.cpp)
add_custom_command(
  OUTPUT ${KESTRUNE_KERNEL_PACKED}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  COMMAND kestrune_kernel_pack ${CMAKE_SOURCE_DIR}/src/gpu/kernels.cl ${KESTRUNE_KERNEL_PACKED}
  DEPENDS kestrune_kernel_pack ${CMAKE_SOURCE_DIR}/src/gpu/kernels.cl
  COMMENT "Compressing the OpenCL kernel text"
  VERBATIM)
target_sources(kestrune_engine PRIVATE ${KESTRUNE_KERNEL_PACKED})
target_link_libraries(kestrune_engine PUBLIC PkgConfig::LZ4)
