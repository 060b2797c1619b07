#include "channel/strings.h"

namespace rv {
namespace {

StringLoader g_resource = nullptr;
StringLoader g_program = nullptr;

const char16_t* BuiltIn(uint32_t id) {
  switch (id) {
    case 72: return u"The volume cannot be searched: its file system is not supported (NTFS, FAT16, FAT32 and exFAT are).";
    case 81: return u"The volume could not be opened or its file-system structures could not be read.";
    case 101: return u"Recovered: %s";
    case 102: return u"Recovered with damaged parts (clusters in use are filled with *): %s";
    case 104: return u"Not recovered: %s";
    case 149: return u"The destination folder does not exist and cannot be created.";
    case 301: return u"Undelete";
    case 377: return u"Not recovered, the destination volume has too little free space: %s";
    default: return u"";
  }
}

}  // namespace

Text LoadResourceString(uint32_t id) {
  if (g_resource) return g_resource(id);
  return BuiltIn(id);
}

Text LoadProgramString(uint32_t id) {
  if (g_program) return g_program(id);
  return id == 1 ? Text(u"Retriva") : Text();
}

void SetStringLoaders(StringLoader resourceLibrary, StringLoader program) {
  g_resource = resourceLibrary;
  g_program = program;
}

}  // namespace rv
