# Turns one device source into a host C++ translation unit for the block emulator:
# the launch syntax and dynamic shared arrays are rewritten, everything else is kept,
# and the project's namespace is renamed so nothing clashes with the nvcc build.
#   cmake -DIN=<file.cu> -DOUT=<file.cpp> [-DAPPEND=<file>] -P emulate_source.cmake
file(READ "${IN}" src)
# name<targs> <<<a, b, c>>>(args)  ->  name<targs> % Config("name", a, b, c)(args)
string(REGEX REPLACE "([A-Za-z_][A-Za-z_0-9:]*)(<[^<>;]*>|)([ \t\r\n]*)<<<"
       "\\1\\2\\3 % ::kestrune_emu::Config(\"\\1\", " src "${src}")
string(REPLACE ">>>" ")" src "${src}")
string(REGEX REPLACE "extern[ \t]+__shared__[ \t]+([A-Za-z_0-9:]+)[ \t]+([A-Za-z_0-9]+)\\[\\];"
       "::kestrune_emu::SharedArray<\\1> \\2;" src "${src}")
set(extra "")
if(APPEND)
  file(READ "${APPEND}" extra)
endif()
file(WRITE "${OUT}.tmp" "#include <cuda_runtime.h>\n#define kestrune kestrune_emulated\n#line 1 \"${IN}\"\n${src}\n${extra}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
