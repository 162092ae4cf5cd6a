# Run by cpack on the packages it has built (CPACK_PACKAGE_FILES), to do what
# CPack 3.25 cannot: the .tar.gz records the builder as owner, the ar members
# of the .deb take the builder's umask, and the .deb cannot say Multi-Arch.
# Each package is unpacked and packed again with Debian's own tools: owned by
# root, moded 0755 or 0644, sorted by name, dated by SOURCE_DATE_EPOCH.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(tree ${package} DIRECTORY)
  set(tree ${tree}/normalized)
  file(REMOVE_RECURSE ${tree})
  file(MAKE_DIRECTORY ${tree})
  if(package MATCHES "\\.deb$")
    execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree}
      COMMAND_ERROR_IS_FATAL ANY)
    # roster's interface is its command line and its output, the same for
    # every architecture: it can serve packages of any of them.
    file(READ ${tree}/DEBIAN/control control)
    string(STRIP "${control}" control)
    file(WRITE ${tree}/DEBIAN/control "${control}\nMulti-Arch: foreign\n")
    execute_process(COMMAND chmod -R u=rwX,go=rX ${tree}
      COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND find ${tree} -exec
      touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
      COMMAND_ERROR_IS_FATAL ANY)
    execute_process(
      COMMAND dpkg-deb --root-owner-group --build ${tree} ${package}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  elseif(package MATCHES "\\.tar\\.gz$")
    execute_process(COMMAND tar --extract --touch -zf ${package} -C ${tree}
      COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB topDirectory RELATIVE ${tree} ${tree}/*)
    execute_process(
      COMMAND tar --create --format=gnu --sort=name --owner=0 --group=0
              --numeric-owner --mode=u=rwX,go=rX
              --mtime=@$ENV{SOURCE_DATE_EPOCH} -C ${tree} ${topDirectory}
      COMMAND gzip -9n
      OUTPUT_FILE ${package}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
