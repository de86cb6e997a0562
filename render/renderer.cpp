// The renderer: immediate-mode drawing straight from the mass records. It
// reads the world and changes nothing in it but the normals it is asked to
// recompute.
#include "render/renderer.h"

#include <GL/glext.h>

#include <cstdio>

#include "render/textures.h"
#include "sim/bcube.h"
#include "sim/normals.h"
#include "sim/world.h"

const float connLineColor[4] = {1.0f, 1.0f, 0.0f, 1.0f};

namespace {

constexpr float kClearColour[4] = {0.0f, 0.0f, 0.0f, 1.0f};
// Directional (w = 0); the frame loop moves the light at every frame.
constexpr float kLightPosition[4] = {0.0f, -50.0f, 20.0f, 0.0f};
constexpr float kLightAmbient[4] = {1.0f, 1.0f, 1.0f, 1.0f};

constexpr int32_t kNoMaterial = -2; // last material id at the start of every draw
constexpr double kDegreesPerRadian = 57.29577951308232;
// The reflection's z is scaled by this times the world scale (0.256), which
// stretches the side faces of the environment over more of the body.
constexpr float kEnvMapDepthScale = 0.032f;
constexpr GLint kEnvMapGenerateMipmaps = 1;

// Objects already told that only twelve triangles get face textures, so that
// the warning comes once and not at every frame.
bool warnedFaceTexOverflow[SIM_MAX_OBJECTS];

// Sends a triangle's material when it differs from the one sent last.
void applyMaterial(int32_t material, int32_t* last) {
    if (material == *last) return;
    *last = material;
    const SimMaterial& m = simWorld.materials[material];
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, m.ambient);
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, m.diffuse);
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, m.specular);
    glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, m.emission);
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, m.shininess);
}

// Two triangles per face texture: triangles 2s and 2s + 1 are one batch with
// texture slot s.
void drawFaceTextured(int oid, const SimObject& obj, int32_t* lastMaterial) {
    int32_t count = obj.nPolys;
    if (count > TEX_BOX_TRIANGLES) {
        if (!warnedFaceTexOverflow[oid])
            std::printf("  ***WARNING*** drawObject(): Face textures cover %d triangles; drawing "
                        "%d of %d (oid=%d).\n",
                        TEX_BOX_TRIANGLES, TEX_BOX_TRIANGLES, count, oid);
        warnedFaceTexOverflow[oid] = true;
        count = TEX_BOX_TRIANGLES;
    }
    const PFNGLBINDTEXTUREEXTPROC bind = bindTextureFn ? bindTextureFn : glBindTexture;
    const SimMass* masses = obj.masses;
    for (int32_t i = 0; i < count; ++i) {
        const SimPoly& p = obj.polys[i];
        if (i % 2 == 0) {
            bind(GL_TEXTURE_2D, faceTextures[i / 2]);
            glEnable(GL_TEXTURE_2D);
            glBegin(GL_TRIANGLES);
        }
        applyMaterial(p.material, lastMaterial);
        const int32_t corners[3] = {p.v0, p.v1, p.v2};
        for (int c = 0; c < 3; ++c) {
            const SimMass& m = masses[corners[c]];
            glNormal3dv(m.normal);
            glTexCoord2f(faceTexCoords[i][c][0], faceTexCoords[i][c][1]);
            glVertex3dv(m.pos);
        }
        if (i % 2 == 1) glEnd();
    }
    // An odd count leaves the last batch open.
    if (count % 2 == 1) glEnd();
}

// Gouraud: one vertex normal per corner. Flat: the face normal once per triangle.
void drawTriangles(const SimObject& obj, bool smooth, int32_t* lastMaterial) {
    const SimMass* masses = obj.masses;
    glBegin(GL_TRIANGLES);
    {
        for (int32_t i = 0; i < obj.nPolys; ++i) {
            const SimPoly& p = obj.polys[i];
            applyMaterial(p.material, lastMaterial);
            const int32_t corners[3] = {p.v0, p.v1, p.v2};
            if (smooth) {
                for (int32_t v : corners) {
                    glNormal3dv(masses[v].normal);
                    glVertex3dv(masses[v].pos);
                }
            } else {
                glNormal3dv(p.normal);
                for (int32_t v : corners)
                    glVertex3dv(masses[v].pos);
            }
        }
    }
    glEnd();
}

// The reflection of the eye about each vertex normal looks up the cube map,
// turned back by the cube's angles so that the reflections turn with the cube.
void drawEnvMapped(const SimObject& obj, int32_t* lastMaterial) {
    uploadCubeMap();
    glDisable(GL_TEXTURE_2D);
    glEnable(GL_TEXTURE_CUBE_MAP_ARB);
    glTexParameterf(GL_TEXTURE_CUBE_MAP_ARB, GL_TEXTURE_WRAP_S,
                    static_cast<GLfloat>(GL_CLAMP_TO_EDGE));
    glTexParameterf(GL_TEXTURE_CUBE_MAP_ARB, GL_TEXTURE_WRAP_T,
                    static_cast<GLfloat>(GL_CLAMP_TO_EDGE));
    glTexParameterf(GL_TEXTURE_CUBE_MAP_ARB, GL_TEXTURE_MAG_FILTER,
                    static_cast<GLfloat>(GL_LINEAR));
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_CUBE_MAP_ARB, GL_GENERATE_MIPMAP_SGIS, kEnvMapGenerateMipmaps);
    glTexGeni(GL_S, GL_TEXTURE_GEN_MODE, GL_REFLECTION_MAP_ARB);
    glTexGeni(GL_T, GL_TEXTURE_GEN_MODE, GL_REFLECTION_MAP_ARB);
    glTexGeni(GL_R, GL_TEXTURE_GEN_MODE, GL_REFLECTION_MAP_ARB);
    glEnable(GL_TEXTURE_GEN_S);
    glEnable(GL_TEXTURE_GEN_T);
    glEnable(GL_TEXTURE_GEN_R);
    const PFNGLBINDTEXTUREEXTPROC bind = bindTextureFn ? bindTextureFn : glBindTexture;
    bind(GL_TEXTURE_CUBE_MAP_ARB, RENDER_CUBE_MAP_TEXTURE);

    glMatrixMode(GL_TEXTURE);
    glPushMatrix();
    {
        glLoadIdentity();
        glRotatef(static_cast<float>(-cubeAngleX * kDegreesPerRadian), 1.0f, 0.0f, 0.0f);
        glRotatef(static_cast<float>(-cubeAngleY * kDegreesPerRadian), 0.0f, 1.0f, 0.0f);
        glRotatef(static_cast<float>(-cubeAngleZ * kDegreesPerRadian), 0.0f, 0.0f, 1.0f);
        glScalef(1.0f, 1.0f, kEnvMapDepthScale * worldScale);
        glMatrixMode(GL_MODELVIEW);

        drawTriangles(obj, true, lastMaterial); // one batch, vertex normals

        glMatrixMode(GL_TEXTURE);
    }
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);

    glDisable(GL_TEXTURE_CUBE_MAP_ARB);
    glDisable(GL_TEXTURE_GEN_S);
    glDisable(GL_TEXTURE_GEN_T);
    glDisable(GL_TEXTURE_GEN_R);
    glDisable(GL_TEXTURE_GEN_Q);
}

} // namespace

void initGL() {
    glClearColor(kClearColour[0], kClearColour[1], kClearColour[2], kClearColour[3]);
    glLightfv(GL_LIGHT0, GL_POSITION, kLightPosition);
    glLightfv(GL_LIGHT0, GL_AMBIENT, kLightAmbient);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glDepthFunc(GL_LEQUAL);
    glEnable(GL_DEPTH_TEST);
    glShadeModel(GL_SMOOTH);
    glFrontFace(GL_CW);
    uploadCubeMap();
}

void uploadCubeMap() {
    for (int i = 0; i < TEX_FACES; ++i)
        glTexImage2D(GL_TEXTURE_CUBE_MAP_POSITIVE_X_ARB + i, 0, GL_RGB8, TEX_FACE_SIZE,
                     TEX_FACE_SIZE, 0, GL_RGBA, GL_UNSIGNED_BYTE, faceImages[i]);
}

void drawObject(int oid) {
    if (!simValidOid(oid)) return;
    const SimObject& obj = simWorld.objects[oid];
    if (obj.nPolys < 1) return;
    const int32_t flags = obj.flags;

    const bool smooth = (flags & SIMF_GOURAUD) != 0;
    glShadeModel(smooth ? GL_SMOOTH : GL_FLAT);
    glFrontFace((flags & SIMF_CW) ? GL_CW : GL_CCW);
    if (flags & (SIMF_FNORMALS | SIMF_VNORMALS)) {
        simCalcPolyNormals(oid);
        if (flags & SIMF_VNORMALS) simCalcMassNormals(oid);
    }
    if (flags & SIMF_CULL) {
        glCullFace(GL_BACK);
        glEnable(GL_CULL_FACE);
    } else {
        glDisable(GL_CULL_FACE);
    }

    int32_t lastMaterial = kNoMaterial;
    if (flags & SIMF_FACETEX) {
        drawFaceTextured(oid, obj, &lastMaterial);
        glDisable(GL_TEXTURE_2D);
    } else if (flags & SIMF_ENVMAP) {
        drawEnvMapped(obj, &lastMaterial);
    } else {
        drawTriangles(obj, smooth, &lastMaterial);
    }
}

void drawConns(int oid) {
    if (!simValidOid(oid)) return;
    const SimObject& obj = simWorld.objects[oid];
    if (obj.connLen <= 0 || !obj.conns) return;

    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, connLineColor);
    glLineWidth(1.0f);
    glShadeModel(GL_FLAT);
    const SimConnList* list = obj.conns;
    const int32_t len = obj.connLen;
    const SimMass* masses = obj.masses;
    glBegin(GL_LINES);
    {
        // Each run is a star from its hub (its first index), not a polyline.
        int32_t at = 0;
        while (at < len) {
            while (at < len && list[at] == SIM_CONN_END_RUN)
                ++at;
            if (at >= len || list[at] < 0) break; // the list's end
            const int32_t hub = list[at++];
            for (; at < len && list[at] >= 0; ++at) {
                glVertex3dv(masses[hub].pos);
                glVertex3dv(masses[list[at]].pos);
            }
        }
    }
    glEnd();
}
