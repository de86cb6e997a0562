// The frame loop's globals and one whole simulation step.
#include "startup/frame.h"

#include "platform/platform.h"
#include "sim/bcube.h"
#include "sim/step.h"
#include "sim/world.h"

int32_t winWidth = 0;
int32_t winHeight = 0;
int32_t mouseDx = 0;
int32_t mouseDy = 0;
int64_t stamp0 = 0;
int64_t stamp1 = 0;
int64_t phaseForces = 0;
int64_t phaseSprings = 0;
int64_t phaseMotion = 0;
int64_t phaseClear = 0;
int64_t phaseDraw = 0;

const float mouseFactor = 0.0001f;

void appStepWorld() {
    phaseForces = 0;
    phaseSprings = 0;
    phaseMotion = 0;
    // The object count is read again before every pass.
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        // The cube turns once per object and every object meets its newest
        // pose. The offset times the factor is a single-precision product.
        cubeAngleX += mouseDy * mouseFactor;
        cubeAngleY += mouseDx * mouseFactor;
        simRotBCube(cubeAngleX, cubeAngleY, cubeAngleZ);

        stamp0 = platCounter();
        simClearAcc(oid);
        simApplyFForces(oid);
        stamp1 = platCounter();
        phaseForces += stamp1 - stamp0;

        simApplySprings(oid);
        stamp0 = platCounter();
        phaseSprings += stamp0 - stamp1;

        simUpdateVel(oid);
        simUpdatePos(oid);
        stamp1 = platCounter();
        phaseMotion += stamp1 - stamp0;
    }
}
