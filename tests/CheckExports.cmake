# Checks that the plug-in exports exactly the registration functions, the 26 entries and the 8 dialogs.
execute_process(COMMAND ${NM} -D --defined-only ${PLUGIN} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${PLUGIN}")
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
  if(line MATCHES "^[0-9a-f]+ [TDBR] (.+)$")
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
