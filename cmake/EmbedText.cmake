# Embeds a text file as a NUL-terminated char array (cmake -DIN=... -DOUT=... -DNAME=ns::var -P).
# Used where the build cannot run kxrc (cross builds); kxrc also checks the script, which the native
# build does for every target.
file(READ ${IN} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(([^,]*,){16})" "\\1\n    " bytes "${bytes}")
string(REPLACE "::" ";" parts "${NAME}")
list(GET parts 0 ns)
list(GET parts 1 var)
file(WRITE ${OUT} "// Generated from ${IN}; edit the script, not this file.\nnamespace ${ns} {\nextern const char ${var}[];\nconst char ${var}[] = {\n    ${bytes}0};\n}\n")
