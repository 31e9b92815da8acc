# Gives a program file its version record: a VERSIONINFO resource on
# Windows, an ELF section ".tallowmere.version" of Name=Value lines elsewhere.
#   tallowmere_version_record(target FILE_VERSION 1.5.0.0 PRODUCT_VERSION 1.5.0
#                             DESCRIPTION "..." ORIGINAL_NAME Quillon.exe)

# The two programs' versions. The product (and so its packages) takes the
# gateway's.
set(QUILLON_FILE_VERSION 1.5.0.0)
set(QUILLON_PRODUCT_VERSION 1.5.0)
set(SETWICK_FILE_VERSION 1.2.7.0)
set(SETWICK_PRODUCT_VERSION 1.2.7.0)
set(TALLOWMERE_VERSION ${QUILLON_PRODUCT_VERSION})

function(tallowmere_version_record target)
  cmake_parse_arguments(V "" "FILE_VERSION;PRODUCT_VERSION;DESCRIPTION;ORIGINAL_NAME" "" ${ARGN})
  string(REPLACE "." "," commas "${V_FILE_VERSION}")
  if(WIN32)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    file(WRITE ${out}
"#include <winver.h>
1 VERSIONINFO
FILEVERSION ${commas}
PRODUCTVERSION ${commas}
FILEOS VOS_NT_WINDOWS32
FILETYPE VFT_APP
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904B0\"
    BEGIN
      VALUE \"FileDescription\", \"${V_DESCRIPTION}\"
      VALUE \"FileVersion\", \"${V_FILE_VERSION}\"
      VALUE \"OriginalFilename\", \"${V_ORIGINAL_NAME}\"
      VALUE \"ProductName\", \"Tallowmere\"
      VALUE \"ProductVersion\", \"${V_PRODUCT_VERSION}\"
    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x409, 1200
  END
END
")
  else()
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.cc)
    file(WRITE ${out}
"// Generated: the version record of ${V_ORIGINAL_NAME}.
asm(\".pushsection .tallowmere.version,\\\"a\\\",@progbits\\n\"
    \".ascii \\\"FileDescription=${V_DESCRIPTION}\\\\n\\\"\\n\"
    \".ascii \\\"FileVersion=${V_FILE_VERSION}\\\\n\\\"\\n\"
    \".ascii \\\"OriginalFilename=${V_ORIGINAL_NAME}\\\\n\\\"\\n\"
    \".ascii \\\"ProductName=Tallowmere\\\\n\\\"\\n\"
    \".ascii \\\"ProductVersion=${V_PRODUCT_VERSION}\\\\n\\\"\\n\"
    \".popsection\\n\");
")
  endif()
  target_sources(${target} PRIVATE ${out})
endfunction()
