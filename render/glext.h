// The OpenGL extension test.
#pragma once

// 1 when list names the extension as a whole blank-separated entry, 0 when it
// does not or when name is empty or holds a blank; -1 for a null list.
int glExtensionInList(const char* list, const char* name);

// 1 when the driver lists the extension, 0 when not (or for an empty name or
// one with a blank), -1 when there is no extension list (no current context).
int hasGLExtension(const char* name);
