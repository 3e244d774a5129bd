# What `cmake --install` puts beside the programs (each program's own CMakeLists installs it),
# and the packages CPack makes of it: a Debian package on Linux, a .zip on Windows
# (scripts/package.sh). Included by the top CMakeLists.txt after every program is defined.
set(FPGA_DIAG_VERSION ${PROJECT_VERSION})
set(FPGA_DIAG_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)

set(CPACK_PACKAGE_NAME fpga-diag)
set(CPACK_PACKAGE_VERSION ${FPGA_DIAG_VERSION})
set(CPACK_PACKAGE_VENDOR "fpga-diag developers")
set(CPACK_PACKAGE_CONTACT "fpga-diag developers <fpga-diag@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "diagnostic utility for a PCI Express FPGA board with a DMA controller")
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX packages)

if(WIN32)
  # fpga-diag-sim.exe and a short README.txt at the top of the .zip.
  install(FILES ${FPGA_DIAG_PACKAGING}/README-windows.txt DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/fpga-diag)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/packaging)
  file(MAKE_DIRECTORY ${out})
  # Manual pages and the Debian changelog go gzip-compressed (-n: no name or time inside, so the
  # same sources give the same bytes).
  configure_file(${FPGA_DIAG_PACKAGING}/changelog.Debian.in ${out}/changelog.Debian @ONLY)
  set(compressed)
  foreach(source man/fpga-diag.1 man/fpga-board-server.1 man/fpga-diag-setup.8 man/fpga-diag-report.1
                 ${out}/changelog.Debian)
    get_filename_component(name ${source} NAME)
    get_filename_component(path ${source} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    add_custom_command(OUTPUT ${out}/${name}.gz COMMAND gzip -9nc ${path} > ${out}/${name}.gz
                       DEPENDS ${path} VERBATIM)
    list(APPEND compressed ${out}/${name}.gz)
  endforeach()
  add_custom_target(fd_packaging_files ALL DEPENDS ${compressed})
  # fpga-diag(1) covers fpga-diag-sim too.
  file(CREATE_LINK fpga-diag.1.gz ${out}/fpga-diag-sim.1.gz SYMBOLIC)

  install(FILES ${out}/fpga-diag.1.gz ${out}/fpga-diag-sim.1.gz ${out}/fpga-board-server.1.gz
          ${out}/fpga-diag-report.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${out}/fpga-diag-setup.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${FPGA_DIAG_PACKAGING}/copyright
          ${out}/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/report/report.schema.json
          DESTINATION ${doc})
  # To fold into the completions' install list: the report's completion.
  install(FILES ${FPGA_DIAG_PACKAGING}/bash-completion/fpga-diag-report
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  # An example only: a rule takes effect in /etc/udev/rules.d, which is the user's to choose.
  install(FILES ${FPGA_DIAG_PACKAGING}/90-vfio.rules DESTINATION ${doc}/examples)
  install(FILES ${FPGA_DIAG_PACKAGING}/lintian-overrides DESTINATION
          ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME fpga-diag)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends from the binaries, by dpkg-shlibdeps
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS driverctl)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # CPack puts the summary above this as the first line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "fpga-diag finds the board (PCI 10ee:5050) and tests it: its 4 KiB memory window
with 8- to 64-bit accesses, DMA data integrity over every transfer size and
offset, DMA throughput on each channel, and a 50 MiB scatter/gather loopback.
It reaches real boards through the kernel's vfio-pci driver, with no kernel
module of its own.

fpga-diag-setup reports whether a machine is ready for it (driver, IOMMU group,
PCI Express link, device file, memory-lock limit) and binds a board to
vfio-pci. fpga-diag-report runs it or reads its output and gives a verdict
with reasons, rates judged against the link, JSON, JUnit XML and a page with
charts. fpga-diag-sim runs the same tests on a virtual board, and
fpga-board-server serves that virtual board as a vfio-user PCI device.")
endif()
include(CPack)
