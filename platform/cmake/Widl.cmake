# telvana_add_idl(<name> <idl> [DEFINES <name[=value]>...] [RC <rc-file>...])
# Compiles <idl> with widl into <stem>.h and <stem>.tlb and makes <name> an INTERFACE library:
# a target that links it gets the header's folder on its include path (sources and .rc files)
# and builds after widl. The listed .rc files (of the calling folder) are rebuilt when the .tlb
# changes, so a resource line `1 TYPELIB "<stem>.tlb"` embeds the current library. Sets
# <name>_DIR (the output folder) and <name>_TLB in the caller's scope.
# The .idl imports Wine's own IDL files ("oaidl.idl" etc., package libwine-dev) and, inside its
# library block, importlib("stdole2.tlb"); it may use the preprocessor (#ifdef on DEFINES).
# Interfaces meant to cross processes are [oleautomation]: the universal marshaler carries them;
# one that needs iid_is, which a type library cannot carry, gets proxy/stub code instead
# (telvana_add_idl_proxy) and no [oleautomation], so that registering the type library leaves
# its Interface key alone.
set(TELVANA_WIDL_INCLUDE /usr/include/wine/wine/windows CACHE PATH "Windows IDL files for widl")
set(TELVANA_WIDL_LIBPATH /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "stdole2.tlb for widl")

# The files that <idl> brings in with #include "..." or import "...", found beside the file that
# names them or on the widl include path, and theirs in turn: widl's outputs depend on them all
# (an id edited in an included header must reach every output). The scan runs again whenever one
# of the scanned files changes, so a new include is picked up.
function(telvana_idl_inputs idl out_var)
  set(pending ${idl})
  set(found "")
  while(pending)
    list(POP_FRONT pending file)
    if(file IN_LIST found)
      continue()
    endif()
    list(APPEND found ${file})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    file(STRINGS ${file} lines REGEX "^[ \t]*(#[ \t]*include|import)[ \t]+\"")
    get_filename_component(dir ${file} DIRECTORY)
    foreach(line ${lines})
      string(REGEX MATCH "\"([^\"]+)\"" _ "${line}")
      foreach(candidate ${dir}/${CMAKE_MATCH_1} ${TELVANA_WIDL_INCLUDE}/${CMAKE_MATCH_1})
        if(EXISTS ${candidate})
          get_filename_component(candidate ${candidate} ABSOLUTE)
          list(APPEND pending ${candidate})
          break()
        endif()
      endforeach()
    endforeach()
  endwhile()
  set(${out_var} ${found} PARENT_SCOPE)
endfunction()

function(telvana_add_idl name idl)
  cmake_parse_arguments(I "" "" "DEFINES;RC" ${ARGN})
  get_filename_component(idl ${idl} ABSOLUTE)
  get_filename_component(stem ${idl} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${name})
  set(header ${out}/${stem}.h)
  set(tlb ${out}/${stem}.tlb)
  telvana_idl_inputs(${idl} inputs)
  set(flags -m64 -I${TELVANA_WIDL_INCLUDE} -L${TELVANA_WIDL_LIBPATH})
  foreach(d ${I_DEFINES})
    list(APPEND flags -D${d})
  endforeach()
  # One output kind per call: with -h and -t together widl did not write the .tlb.
  add_custom_command(OUTPUT ${header} ${tlb}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${TELVANA_WIDL} ${flags} -h -o ${header} ${idl}
    COMMAND ${TELVANA_WIDL} ${flags} -t -o ${tlb} ${idl}
    DEPENDS ${inputs}
    COMMENT "widl ${stem}.idl (${name})"
    VERBATIM)
  add_custom_target(${name}_widl DEPENDS ${header} ${tlb})
  add_library(${name} INTERFACE)
  add_dependencies(${name} ${name}_widl)
  target_include_directories(${name} INTERFACE ${out})
  foreach(rc ${I_RC})
    set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${tlb})
  endforeach()
  set(${name}_DIR ${out} PARENT_SCOPE)
  set(${name}_TLB ${tlb} PARENT_SCOPE)
endfunction()

# telvana_add_idl_proxy(<name> <idl> [DEFINES <name[=value]>...])
# Proxy/stub code for the [object] interfaces of <idl>, for a proxy/stub DLL: <stem>_p.c
# (stubless, -Oif: no exception frames, so no Wine-only headers; Wine's rpcrt4 runs these
# proxies and stubs for our own interfaces, iid_is included), <stem>_i.c (the interface ids)
# and dlldata.c (the proxy-file list; its DLLDATA_ROUTINES make DllGetClassObject and
# DllCanUnloadNow). Sets <name>_SOURCES (the first two) and <name>_DIR in the caller's scope.
# One C source of the DLL defines PROXY_CLSID_IS (the DLL's class) and includes "dlldata.c" from
# <name>_DIR; the DLL links the library made by telvana_add_idl for the header.
function(telvana_add_idl_proxy name idl)
  cmake_parse_arguments(I "" "" "DEFINES" ${ARGN})
  get_filename_component(idl ${idl} ABSOLUTE)
  get_filename_component(stem ${idl} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${name})
  telvana_idl_inputs(${idl} inputs)
  set(flags -m64 -Oif -I${TELVANA_WIDL_INCLUDE} -L${TELVANA_WIDL_LIBPATH})
  foreach(d ${I_DEFINES})
    list(APPEND flags -D${d})
  endforeach()
  # widl names the proxy file's table after the output file less "_p.c"; dlldata.c refers to
  # it by that name.
  add_custom_command(OUTPUT ${out}/${stem}_p.c ${out}/${stem}_i.c ${out}/dlldata.c
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${TELVANA_WIDL} ${flags} -p -o ${out}/${stem}_p.c ${idl}
    COMMAND ${TELVANA_WIDL} ${flags} -u -o ${out}/${stem}_i.c ${idl}
    COMMAND ${TELVANA_WIDL} --dlldata-only -o ${out}/dlldata.c ${stem}
    DEPENDS ${inputs}
    COMMENT "widl proxy ${stem}.idl (${name})"
    VERBATIM)
  # Generated tables leave fields to zero-fill, which -Wextra would list at length.
  set_source_files_properties(${out}/${stem}_p.c PROPERTIES COMPILE_OPTIONS
    "-include;${CMAKE_CURRENT_FUNCTION_LIST_DIR}/WidlProxyPrelude.h;-Wno-missing-field-initializers")
  set(${name}_SOURCES ${out}/${stem}_p.c ${out}/${stem}_i.c PARENT_SCOPE)
  set(${name}_DIR ${out} PARENT_SCOPE)
endfunction()
