// The recorder as an engine takes it: this build installed into a scratch prefix, then outside
// projects built against it through find_package, pkg-config and add_subdirectory of recorder/.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "tests/support/process_support.h"

namespace {

const int kBuildTimeout = 300000;
// What examples/toy_loop.c records.
const int kCFrames = 120;

class PackageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = make_scratch_folder();
        prefix = folder + "/prefix";
        run({SAVREL_CMAKE, "--install", SAVREL_BINARY_DIR, "--prefix", prefix});
    }

    void TearDown() override { run_program("/bin/rm", {"-rf", folder}); }

    // Runs a command to the end; a failure shows the command's output.
    void run(const std::vector<std::string>& command, const std::vector<std::string>& environment = {})
    {
        std::string output;
        std::vector<std::string> arguments(command.begin() + 1, command.end());
        int status = run_program(command[0], arguments, &output, folder, kBuildTimeout, environment);
        ASSERT_EQ(status, 0) << command[0] << " " << (arguments.empty() ? "" : arguments[0]) << ":\n"
                             << output;
    }

    // Configures and builds an outside project with this build's compilers and link flags
    // (the sanitizers' runtimes, when this build has them).
    void build_project(const std::string& source, const std::string& binary, const std::vector<std::string>& options)
    {
        std::vector<std::string> configure = {SAVREL_CMAKE,
                                              "-S",
                                              source,
                                              "-B",
                                              binary,
                                              "-DCMAKE_C_COMPILER=" SAVREL_C_COMPILER,
                                              "-DCMAKE_CXX_COMPILER=" SAVREL_CXX_COMPILER,
                                              "-DCMAKE_EXE_LINKER_FLAGS=" SAVREL_LINK_FLAGS};
        configure.insert(configure.end(), options.begin(), options.end());
        ASSERT_NO_FATAL_FAILURE(run(configure));
        ASSERT_NO_FATAL_FAILURE(run({SAVREL_CMAKE, "--build", binary}));
    }

    // Runs a recording program and reads its recording back with the installed savrel-inspect.
    nlohmann::json record(const std::string& program)
    {
        std::string path = folder + "/" + std::to_string(recordings++) + ".bin";
        std::string output;
        EXPECT_EQ(run_program(program, {path}, &output, folder), 0) << output;
        EXPECT_EQ(run_program(prefix + "/bin/savrel-inspect", {"--json", path}, &output), 0) << output;
        return nlohmann::json::parse(output, nullptr, false);
    }

    std::string folder;
    std::string prefix;
    int recordings = 0;
};

// Checks a recording of examples/toy_loop.c: the values added by name exactly, and scope times
// that are real and fit inside the frame that holds them.
void expect_c_example(const nlohmann::json& document)
{
    ASSERT_FALSE(document.is_discarded());
    ASSERT_EQ(document["frame_count"], kCFrames);
    EXPECT_TRUE(document["diagnostics"].empty()) << document["diagnostics"];
    const nlohmann::json& sections = document["sections"];
    // The recorder's own group comes first: its frame end's time, booked in the next frame.
    const std::vector<std::string> names = {"total", "Savrel", "frame end", "Update", "World",
                                            "Draw", "Scene", "Audio", "Mixer"};
    ASSERT_EQ(sections.size(), names.size());
    for (size_t s = 0; s < names.size(); s++) ASSERT_EQ(sections[s]["name"], names[s]);
    // Added in milliseconds, stored in seconds.
    ASSERT_EQ(document["unit"], "seconds");
    const double scale = 0.001;
    EXPECT_EQ(sections[2]["values"][0].get<double>(), 0.0);
    for (int f = 0; f < kCFrames; f++) {
        double mixer = 0.25 * (1 + f % 4) * scale;
        EXPECT_NEAR(sections[8]["values"][f].get<double>(), mixer, mixer * 1e-6) << "frame " << f;
        double total = sections[0]["values"][f].get<double>();
        double own = sections[2]["values"][f].get<double>();
        double world = sections[4]["values"][f].get<double>();
        double scene = sections[6]["values"][f].get<double>();
        EXPECT_GE(own, 0) << "frame " << f;
        // Three values rounded apart from the total: a few float steps of slack.
        EXPECT_LE(own + world + scene, total * (1 + 1e-5)) << "frame " << f;
        EXPECT_GT(world, 0) << "frame " << f;
        EXPECT_GT(scene, 0) << "frame " << f;
    }
}

// Options that make any search for the viewer's, the tests' or the benchmarks' packages an error.
std::vector<std::string> without_viewer_packages(void)
{
    std::vector<std::string> options;
    for (const char* package : {"SDL", "OpenGL", "GTest", "benchmark", "nlohmann_json", "X11"})
        options.push_back(std::string("-DCMAKE_DISABLE_FIND_PACKAGE_") + package + "=ON");
    return options;
}

TEST_F(PackageTest, FindPackageBuildsTheExamples)
{
    ASSERT_NO_FATAL_FAILURE(build_project(SAVREL_SOURCE_DIR "/examples", folder + "/examples",
                                          {"-DCMAKE_PREFIX_PATH=" + prefix}));
    expect_c_example(record(folder + "/examples/savrel-example-c"));
    // The installed target's include path is the header's own folder and nothing else.
    std::string targets = read_file(prefix + "/" SAVREL_LIBDIR "/cmake/Savrel/SavrelTargets.cmake");
    EXPECT_NE(targets.find("INTERFACE_INCLUDE_DIRECTORIES \"${_IMPORT_PREFIX}/include\"\n"), std::string::npos);
    nlohmann::json cpp = record(folder + "/examples/savrel-example");
    ASSERT_FALSE(cpp.is_discarded());
    EXPECT_GT(cpp["frame_count"], 0);
    EXPECT_TRUE(cpp["diagnostics"].empty()) << cpp["diagnostics"];
}

TEST_F(PackageTest, PkgConfigLinksACProgram)
{
    // As a user types it, warnings as errors: the header is clean C99.
    std::string command = SAVREL_C_COMPILER " -std=c99 -pedantic -Wall -Wextra -Werror " SAVREL_SOURCE_DIR
                                            "/examples/toy_loop.c -o toy_loop $(pkg-config --cflags --libs savrel-recorder) " SAVREL_LINK_FLAGS;
    ASSERT_NO_FATAL_FAILURE(run({"/bin/sh", "-c", command}, {"PKG_CONFIG_PATH=" + prefix + "/" SAVREL_LIBDIR "/pkgconfig"}));
    expect_c_example(record(folder + "/toy_loop"));
}

TEST_F(PackageTest, AddSubdirectoryOfTheRecorderAlone)
{
    // A C engine that adds recorder/ and nothing else; the viewer's dependencies are off limits.
    write_file(folder + "/CMakeLists.txt",
               "cmake_minimum_required(VERSION 3.21)\n"
               "project(engine LANGUAGES C)\n"
               "add_subdirectory(" SAVREL_SOURCE_DIR
               "/recorder savrel)\n"
               "add_executable(engine " SAVREL_SOURCE_DIR
               "/examples/toy_loop.c)\n"
               "target_link_libraries(engine PRIVATE Savrel::recorder)\n"
               "get_target_property(path Savrel::recorder INTERFACE_INCLUDE_DIRECTORIES)\n"
               "file(WRITE ${CMAKE_BINARY_DIR}/include_path.txt \"${path}\")\n");
    ASSERT_NO_FATAL_FAILURE(build_project(folder, folder + "/engine", without_viewer_packages()));
    expect_c_example(record(folder + "/engine/engine"));
    // Savrel's source folders, which hold platform/, draw/ and the like, stay off the engine's path.
    std::string include_path = read_file(folder + "/engine/include_path.txt");
    EXPECT_EQ(include_path, "$<BUILD_INTERFACE:" + folder + "/engine/savrel/include>;$<INSTALL_INTERFACE:include>");
}

TEST_F(PackageTest, RecorderOnlyConfigureOfTheWholeTree)
{
    std::vector<std::string> configure = {SAVREL_CMAKE, "-S", SAVREL_SOURCE_DIR, "-B", folder + "/recorder-only",
                                          "-DSAVREL_VIEWER=OFF", "-DSAVREL_TOOLS=OFF", "-DSAVREL_TESTS=OFF",
                                          "-DSAVREL_BENCH=OFF"};
    for (const std::string& option : without_viewer_packages()) configure.push_back(option);
    ASSERT_NO_FATAL_FAILURE(run(configure));
}

TEST_F(PackageTest, InspectBuildsWithoutSdlOrOpenGL)
{
    // The viewer left out, on what looks like a machine with neither SDL nor OpenGL: inspect
    // links the profile layer alone. Makefiles write the link line down where it can be read.
    // Unoptimised, so that the build fits the test's time on a loaded machine.
    std::string binary = folder + "/inspect-only";
    std::vector<std::string> configure = {SAVREL_CMAKE,
                                          "-S",
                                          SAVREL_SOURCE_DIR,
                                          "-B",
                                          binary,
                                          "-G",
                                          "Unix Makefiles",
                                          "-DCMAKE_C_COMPILER=" SAVREL_C_COMPILER,
                                          "-DCMAKE_CXX_COMPILER=" SAVREL_CXX_COMPILER,
                                          "-DCMAKE_EXE_LINKER_FLAGS=" SAVREL_LINK_FLAGS,
                                          "-DCMAKE_BUILD_TYPE=Debug",
                                          "-DSAVREL_VIEWER=OFF"};
    for (const char* package : {"SDL", "OpenGL", "GTest", "benchmark", "X11"})
        configure.push_back(std::string("-DCMAKE_DISABLE_FIND_PACKAGE_") + package + "=ON");
    ASSERT_NO_FATAL_FAILURE(run(configure));
    ASSERT_NO_FATAL_FAILURE(run({SAVREL_CMAKE, "--build", binary, "--target", "savrel-inspect"}));
    std::string link = read_file(binary + "/tools/CMakeFiles/savrel-inspect.dir/link.txt");
    ASSERT_NE(link.find("libsavrel_profile.a"), std::string::npos) << link;
    for (const char* library : {"SDL", "libGL", "OpenGL", "savrel_platform", "savrel_draw", "savrel_viewer"})
        EXPECT_EQ(link.find(library), std::string::npos) << library << " in " << link;
    // And the program it links reads a recording.
    std::string path = folder + "/demo.bin";
    std::string output;
    ASSERT_EQ(run_program(SAVREL_DEMO_PATH, {path, "--frames", "50"}, &output), 0) << output;
    ASSERT_EQ(run_program(binary + "/tools/savrel-inspect", {"--json", path}, &output), 0) << output;
    nlohmann::json document = nlohmann::json::parse(output, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << output;
    EXPECT_EQ(document["frame_count"], 50);
}

}  // namespace
