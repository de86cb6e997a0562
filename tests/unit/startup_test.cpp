#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "app/startup.h"
#include "world_fixture.h"

namespace {

struct RunResult {
    std::vector<std::string> lines;
    int status = -1;
};

// Runs a shell command and splits what it prints into lines.
RunResult runLines(const std::string& command) {
    RunResult r;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    std::string text;
    std::array<char, 4096> buf{};
    size_t n = 0;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        text.append(buf.data(), n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    size_t start = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        r.lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    if (start < text.size()) r.lines.push_back(text.substr(start));
    return r;
}

std::vector<std::string> expectedWorldSetup() {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    std::vector<std::string> lines = {"Zibbet. A physical demo.", "<notice>",
                                      "Number of CPU: " + std::to_string(cpus)};
    if (cpus > 1) lines.push_back("*INFO* SMP support is not yet available.");
    for (const char* l :
         {"Core using 1 thread.", "Initializing physical objects...",
          "  simInitWorld(): World name =\"Hello_World\"",
          "  simAddObject(): Object id=0  name=\"Forces\"  flags=$2",
          "  simAddObject(): >>> Setting system forces object (oid=0) <<<",
          "  simAddMat(): Added material (id=0)", "  simAddMat(): Added material (id=1)",
          "  simAddMat(): Added material (id=2)", "  simAddFForce():  fid=$1"})
        lines.push_back(l);
    return lines;
}

} // namespace

TEST(StartupTranscript, WorldSetupPrintsBannerAndNotices) {
    char dir[] = "/tmp/zibbet-startup-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    RunResult r = runLines(std::string("cd ") + dir + " && " + ZIBBET_BINARY + " </dev/null");
    rmdir(dir);
    std::vector<std::string> expect = expectedWorldSetup();
    ASSERT_GE(r.lines.size(), expect.size());
    for (size_t i = 0; i < expect.size(); ++i) {
        if (expect[i] == "<notice>") {
            EXPECT_FALSE(r.lines[i].empty());
            continue;
        }
        EXPECT_EQ(r.lines[i], expect[i]) << "line " << i;
    }
}

TEST_F(WorldTest, WorldSetupGivesGreyMaterialAndGravity) {
    simFreeWorld();
    int grey = -1;
    captureStdout([&] { grey = appWorldSetup(); });
    EXPECT_EQ(verbosity, 2);
    EXPECT_EQ(grey, 1);
    EXPECT_EQ(simWorld.nMaterials, 3);
    EXPECT_FLOAT_EQ(simWorld.materials[1].diffuse[0], 0.4f);
    EXPECT_FLOAT_EQ(simWorld.materials[2].specular[2], 0.0f);
    EXPECT_FLOAT_EQ(simWorld.materials[2].diffuse[1], 0.3f);
    EXPECT_EQ(simWorld.forceBits, 1u);
    EXPECT_EQ(simWorld.forces[0].vec[1], -0.0098);
}

TEST(StartupDeathTest, PanicsWhenTheWorldCannotBeMade) {
    EXPECT_EXIT(
        {
            dup2(2, 1); // the panic goes to stdout; death tests read stderr
            simFreeWorld();
            simMalloc = [](size_t) -> void* { return nullptr; };
            appWorldSetup();
        },
        ::testing::ExitedWithCode(1),
        "Zibbet v0\\.9 .*: \\*\\*\\*PANIC\\*\\*\\* simInitWorld\\(\\) FAILED\\.\nABORTING\\.");
}
