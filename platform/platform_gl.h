// The platform layer's GL part, apart so that the core links without GL.
#pragma once

void* platGLProcAddress(const char* name); // GL entry point, or null when unknown
