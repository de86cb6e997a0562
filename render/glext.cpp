// The OpenGL extension test: a whole-entry search of the driver's
// blank-separated extension list.
#include "render/glext.h"

#include <GL/gl.h>

#include <cstring>

namespace {

// An empty name would match everywhere and a name with a blank could span two
// entries: neither can name an extension.
bool usableName(const char* name) {
    return name && name[0] != '\0' && std::strchr(name, ' ') == nullptr;
}

} // namespace

int glExtensionInList(const char* list, const char* name) {
    if (!usableName(name)) return 0;
    if (!list) return -1;
    const size_t len = std::strlen(name);
    // An occurrence counts only as a whole entry: at the start of the list or
    // after a blank, and followed by a blank or the end. A longer entry that
    // begins with the name ("..._map2") is passed over and the search goes on.
    for (const char* at = std::strstr(list, name); at; at = std::strstr(at + 1, name)) {
        const bool startsEntry = at == list || at[-1] == ' ';
        const char after = at[len];
        if (startsEntry && (after == ' ' || after == '\0')) return 1;
    }
    return 0;
}

int hasGLExtension(const char* name) {
    if (!usableName(name)) return 0;
    const GLubyte* list = glGetString(GL_EXTENSIONS);
    if (!list) return -1;
    return glExtensionInList(reinterpret_cast<const char*>(list), name);
}
