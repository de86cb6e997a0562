#include <gtest/gtest.h>

#include "render/glext.h"

namespace {
constexpr const char* kCubeMap = "GL_ARB_texture_cube_map";
}

TEST(GLExtensionList, LongerEntryIsPassedOverForTheWholeOne) {
    EXPECT_EQ(glExtensionInList("GL_ARB_texture_cube_map_array GL_ARB_texture_cube_map", kCubeMap),
              1);
    EXPECT_EQ(glExtensionInList("GL_ARB_texture_cube_map_array", kCubeMap), 0);
    EXPECT_EQ(glExtensionInList("GL_EXT_texture GL_ARB_texture_cube_map_array GL_ARB_multitexture",
                                kCubeMap),
              0);
}

TEST(GLExtensionList, WholeEntryAnywhereInTheList) {
    EXPECT_EQ(glExtensionInList("GL_ARB_texture_cube_map", kCubeMap), 1);
    EXPECT_EQ(glExtensionInList("GL_ARB_texture_cube_map GL_EXT_bgra", kCubeMap), 1);
    EXPECT_EQ(glExtensionInList("GL_EXT_bgra GL_ARB_texture_cube_map ", kCubeMap), 1);
    EXPECT_EQ(glExtensionInList("GL_EXT_bgra  GL_ARB_texture_cube_map", kCubeMap), 1);
    EXPECT_EQ(glExtensionInList("", kCubeMap), 0);
    EXPECT_EQ(glExtensionInList("GL_ARB_texture_cube", kCubeMap), 0);
}

TEST(GLExtensionList, NameInsideAnotherEntryDoesNotCount) {
    EXPECT_EQ(glExtensionInList("XGL_ARB_texture_cube_map", kCubeMap), 0);
    // Run together with a longer entry: not an entry of its own.
    EXPECT_EQ(glExtensionInList("GL_ARB_texture_cube_mapGL_ARB_texture_cube_map", kCubeMap), 0);
    EXPECT_EQ(glExtensionInList("GL_ARB_texture_cube_map_GL_ARB_texture_cube_map", kCubeMap), 0);
}

TEST(GLExtensionList, EmptyNameOrNameWithBlankIsNeverListed) {
    EXPECT_EQ(glExtensionInList("GL_A GL_B", ""), 0);
    EXPECT_EQ(glExtensionInList("GL_A GL_B", "GL_A GL_B"), 0);
    EXPECT_EQ(glExtensionInList("GL_A GL_B", " GL_B"), 0);
    EXPECT_EQ(glExtensionInList("GL_A GL_B", nullptr), 0);
    EXPECT_EQ(glExtensionInList(nullptr, "GL_A"), -1);
}

TEST(GLExtensionDriver, WithoutContextTheListCannotBeHad) {
    EXPECT_EQ(hasGLExtension(kCubeMap), -1);
    // A bad name is refused before the driver is asked.
    EXPECT_EQ(hasGLExtension(""), 0);
    EXPECT_EQ(hasGLExtension("GL_ARB texture"), 0);
}
