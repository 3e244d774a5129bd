# What `cmake --install` puts beside the programs (each program's own CMakeLists installs it),
# and the packages CPack makes of it: a Debian package on Linux, a .zip on Windows
# (scripts/package.sh). Included by the top CMakeLists.txt after every program is defined.
set(FPGA_DIAG_VERSION ${PROJECT_VERSION})
set(FPGA_DIAG_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)

# The manual pages, each page.N.in with the version and the paths of the prefix it goes under.
# A page of section N goes to man/manN.
set(FPGA_DIAG_MAN_PAGES man/fpga-diag.1.in man/fpga-board-server.1.in man/fpga-diag-setup.8.in)
# Pages that are another page under a second name: "link=target".
set(FPGA_DIAG_MAN_LINKS fpga-diag-sim.1=fpga-diag.1)
# Bash completions, packaging/bash-completion/PROGRAM, each installed with its program: a
# program this build does not make gets none.
set(FPGA_DIAG_COMPLETIONS fpga-diag-setup fpga-board-server fpga-diag-report)

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
  set(out ${CMAKE_CURRENT_BINARY_DIR}/packaging)
  file(MAKE_DIRECTORY ${out})
  # The changelogs go gzip-compressed (-n: no name or time inside, so the same sources give the
  # same bytes): the upstream one as changelog.gz, where Debian puts it, and the package's own.
  configure_file(${FPGA_DIAG_PACKAGING}/changelog.Debian.in ${out}/changelog.Debian @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${out}/changelog COPYONLY)
  set(compressed)
  foreach(name changelog changelog.Debian)
    add_custom_command(OUTPUT ${out}/${name}.gz COMMAND gzip -9nc ${out}/${name} > ${out}/${name}.gz
                       DEPENDS ${out}/${name} VERBATIM)
    list(APPEND compressed ${out}/${name}.gz)
  endforeach()
  add_custom_target(fd_packaging_files ALL DEPENDS ${compressed})

  # The pages are configured when they are installed, not when built: only then is the prefix
  # known (`cmake --install --prefix ~/.local`, or /usr in the package), and the paths they name
  # must be that prefix's.
  set(pages)
  foreach(page IN LISTS FPGA_DIAG_MAN_PAGES)
    list(APPEND pages ${PROJECT_SOURCE_DIR}/${page})
  endforeach()
  install(CODE "
    set(FD_PAGES \"${pages}\")
    set(FD_LINKS \"${FPGA_DIAG_MAN_LINKS}\")
    set(FD_WORK \"${out}/man\")
    set(FD_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
    set(FD_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
    set(FPGA_DIAG_VERSION \"${FPGA_DIAG_VERSION}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/install_man_pages.cmake\")")

  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${FPGA_DIAG_PACKAGING}/copyright
          ${out}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # An example only: a rule takes effect in /etc/udev/rules.d, which is the user's to choose.
  install(FILES ${FPGA_DIAG_PACKAGING}/90-vfio.rules DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  foreach(program IN LISTS FPGA_DIAG_COMPLETIONS)
    if(TARGET ${program})
      install(FILES ${FPGA_DIAG_PACKAGING}/bash-completion/${program}
              DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
    endif()
  endforeach()
  # What only the Debian package holds: a component that a plain `cmake --install` leaves out
  # and CPack installs beside everything else (CPACK_INSTALL_CMAKE_PROJECTS below).
  # A lintian override, when one is needed, goes there too, as
  # share/lintian/overrides/fpga-diag: lintian finds nothing to override today.
  install(FILES ${out}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT debian EXCLUDE_FROM_ALL)

  set(CPACK_GENERATOR DEB)
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/" "${CMAKE_BINARY_DIR};${PROJECT_NAME};debian;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # What the binaries link, by dpkg-shlibdeps (scripts/package.sh makes sure it is there), after
  # kmod: bind loads vfio-pci with modprobe.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS kmod)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS driverctl)  # the binding kept across boots
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS pciutils)     # lspci, which the advice and pages cite
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # CPack puts the summary above this as the first line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "fpga-diag finds the board (PCI 10ee:5050) and tests it: its 4 KiB memory window
with 8- to 64-bit accesses, DMA data integrity over every transfer size and
offset, DMA throughput on each channel, and a 50 MiB scatter/gather loopback.
It reaches real boards through the kernel's vfio-pci driver, with no kernel
module of its own.

fpga-diag-setup reports whether a machine is ready for it (driver, IOMMU group,
PCI Express link, device file, memory-lock limit), with the command that fixes
each item that is not, and binds a board to vfio-pci. fpga-diag-sim runs the
same tests on a virtual board, and fpga-board-server serves that virtual board
as a vfio-user PCI device.")
endif()
include(CPack)
