# telvana_add_idl(<target> <idl> [DEFINES <name[=value]>...] [RC <rc-file>...])
# Compiles <idl> with widl into <stem>.h and <stem>.tlb in the current binary folder, puts that
# folder on <target>'s include path (sources and .rc files) and makes <target> and the given
# .rc files depend on both, so a resource line `1 TYPELIB "<stem>.tlb"` embeds the library.
# The .idl imports Wine's own IDL ("oaidl.idl" etc., package libwine-dev) and, inside its library
# block, importlib("stdole2.tlb"). Interfaces meant to cross processes are [oleautomation] so
# the universal marshaler carries them.
set(TELVANA_WIDL_INCLUDE /usr/include/wine/wine/windows CACHE PATH "Windows IDL files for widl")
set(TELVANA_WIDL_LIBPATH /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "stdole2.tlb for widl")

function(telvana_add_idl target idl)
  cmake_parse_arguments(I "" "" "DEFINES;RC" ${ARGN})
  get_filename_component(idl ${idl} ABSOLUTE)
  get_filename_component(stem ${idl} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_idl)
  set(header ${out}/${stem}.h)
  set(tlb ${out}/${stem}.tlb)
  set(flags -m64 -I${TELVANA_WIDL_INCLUDE} -L${TELVANA_WIDL_LIBPATH})
  foreach(d ${I_DEFINES})
    list(APPEND flags -D${d})
  endforeach()
  # One output kind per call: with -h and -t together widl did not write the .tlb.
  add_custom_command(OUTPUT ${header} ${tlb}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${TELVANA_WIDL} ${flags} -h -o ${header} ${idl}
    COMMAND ${TELVANA_WIDL} ${flags} -t -o ${tlb} ${idl}
    DEPENDS ${idl}
    COMMENT "widl ${stem}.idl (${target})"
    VERBATIM)
  add_custom_target(${target}_idl DEPENDS ${header} ${tlb})
  add_dependencies(${target} ${target}_idl)
  target_include_directories(${target} PRIVATE ${out})
  foreach(rc ${I_RC})
    set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${tlb})
  endforeach()
endfunction()
