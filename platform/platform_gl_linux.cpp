// Linux back-end of the platform layer's GL part: GLX, through freeglut.
#include "platform/platform_gl.h"

#include <GL/freeglut.h>

void* platGLProcAddress(const char* name) {
    return reinterpret_cast<void*>(glutGetProcAddress(name));
}
