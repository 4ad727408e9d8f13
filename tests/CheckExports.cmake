# Checks that the plug-in exports exactly the registration functions, the 26 entries and the 8 dialogs.
# Reads the ELF dynamic symbols with nm (NM), or a DLL's export table with objdump -p (OBJDUMP).
if(OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${PLUGIN} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
else()
  execute_process(COMMAND ${NM} -D --defined-only ${PLUGIN} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot read the exports of ${PLUGIN}")
endif()
set(expected
  kxGetInfos_Dll kxGetInfos_Procs
  _RGBJoin _RGBSplitt _MittelWert _BinAdaptThreshImage _BinImage _AbsDiffImage _AddImage _SubImage _MultImage
  _DivImage _ScalarAddImage _ScalarSubImage _ScalarMultImage _ScalarDivImage _BlendImage _Negate _Pertur
  _ConstImage _ImagePlane _SquareImage _AndImage _OrImage _NotImage _Norm _MittelSigma _TransformImage
  DlgBin DlgBinAdapt DlgBlendImage DlgConstImage DlgImagePlane DlgMittelwert DlgScalar DlgTransform)
string(REPLACE "\n" ";" lines "${out}")
set(found)
foreach(line IN LISTS lines)
  # Only text and data symbols; the C++ runtime's weak and unique symbols are not ours.
  if(OBJDUMP)
    # "\t[   3] _AddImage" in the export name table
    if(line MATCHES "^\t\\[ *[0-9]+\\] ([A-Za-z_][A-Za-z0-9_]*)$")
      list(APPEND found ${CMAKE_MATCH_1})
    endif()
  elseif(line MATCHES "^[0-9a-f]+ [TDBR] (.+)$")
    list(APPEND found ${CMAKE_MATCH_1})
  endif()
endforeach()
set(unexpected ${found})
list(REMOVE_ITEM unexpected ${expected})
if(unexpected)
  message(FATAL_ERROR "unexpected exports: ${unexpected}")
endif()
set(missing ${expected})
list(REMOVE_ITEM missing ${found})
if(missing AND NOT ALLOW_MISSING)
  message(FATAL_ERROR "missing exports: ${missing}")
endif()
message(STATUS "exports: ${found}")
