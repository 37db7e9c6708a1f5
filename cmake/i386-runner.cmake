# Decides how i386 programs are run on this machine. Kernels built without
# 32-bit user support refuse them (ENOEXEC); there they run under qemu-i386,
# which executes the generated x87 code with full 80-bit precision.
set(_probe_dir ${CMAKE_BINARY_DIR}/i386-probe)
file(WRITE ${_probe_dir}/probe.cpp "int main() { return 0; }\n")
try_compile(_probe_built ${_probe_dir}/build SOURCES ${_probe_dir}/probe.cpp
            COPY_FILE ${_probe_dir}/probe)
set(FENNIC_EMULATED OFF)
if(_probe_built)
  execute_process(COMMAND ${_probe_dir}/probe RESULT_VARIABLE _probe_rc
                  OUTPUT_QUIET ERROR_QUIET)
  if(NOT _probe_rc EQUAL 0)
    find_program(QEMU_I386 qemu-i386 REQUIRED)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_I386})
    set(FENNIC_EMULATED ON)
    message(STATUS "i386 programs run under ${QEMU_I386}")
  endif()
endif()
