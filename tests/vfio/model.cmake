# The model of the kernel's VFIO interface (kernel_model.*), with a sysfs tree of its own in a
# temporary folder, and the virtual board as a PCI function behind it (sim_device.*). Included
# by the suite and by the benchmarks, whichever comes first.
include_guard(GLOBAL)
add_library(fd_vfio_model STATIC ${CMAKE_CURRENT_LIST_DIR}/kernel_model.cpp
            ${CMAKE_CURRENT_LIST_DIR}/sim_device.cpp)
target_include_directories(fd_vfio_model PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(fd_vfio_model PUBLIC fd_vfio fd_sim_internals fd_board_function
                      Threads::Threads)

# The library's backend over the model: the boards FPGA_SIM describes behind the model, the
# machine FPGA_VFIO_MODEL describes. An object library, so that its wdc::CreateBackend is the one
# linked and never the virtual board's own.
add_library(fd_vfio_sim_backend OBJECT ${CMAKE_CURRENT_LIST_DIR}/vfio_sim_backend.cpp)
target_link_libraries(fd_vfio_sim_backend PUBLIC fd_vfio_model fd_regs)
