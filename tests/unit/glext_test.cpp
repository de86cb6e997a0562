// The extension search: a name counts only as a whole entry of the driver's
// blank-separated list.
#include <gtest/gtest.h>

#include "render/glext.h"

TEST(GLExtensions, OnlyAWholeEntryOfTheListCounts) {
    const char* const map = "GL_ARB_texture_cube_map";
    const struct {
        const char* list;
        const char* name;
        int found;
    } cases[] = {
        {"GL_ARB_texture_cube_map", map, 1},
        {"GL_ARB_texture_cube_map GL_EXT_bgra", map, 1},
        {"GL_EXT_bgra GL_ARB_texture_cube_map ", map, 1},
        {"GL_EXT_bgra  GL_ARB_texture_cube_map", map, 1},
        // A longer entry that begins with the name is passed over.
        {"GL_ARB_texture_cube_map_array GL_ARB_texture_cube_map", map, 1},
        {"GL_ARB_texture_cube_map_array", map, 0},
        {"GL_EXT_texture GL_ARB_texture_cube_map_array GL_ARB_multitexture", map, 0},
        {"", map, 0},
        {"GL_ARB_texture_cube", map, 0},
        // The name inside another entry, or run together with one.
        {"XGL_ARB_texture_cube_map", map, 0},
        {"GL_ARB_texture_cube_mapGL_ARB_texture_cube_map", map, 0},
        {"GL_ARB_texture_cube_map_GL_ARB_texture_cube_map", map, 0},
        // An empty name, or one with a blank, is never listed; no list: unknown.
        {"GL_A GL_B", "", 0},
        {"GL_A GL_B", "GL_A GL_B", 0},
        {"GL_A GL_B", " GL_B", 0},
        {"GL_A GL_B", nullptr, 0},
        {nullptr, "GL_A", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(glExtensionInList(c.list, c.name), c.found)
            << "'" << (c.list ? c.list : "null") << "' '" << (c.name ? c.name : "null") << "'";
    // Without a context the driver's list cannot be had; a bad name is
    // refused before the driver is asked.
    EXPECT_EQ(hasGLExtension(map), -1);
    EXPECT_EQ(hasGLExtension(""), 0);
    EXPECT_EQ(hasGLExtension("GL_ARB texture"), 0);
}
