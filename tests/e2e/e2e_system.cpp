#include "e2e_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "lens/lens_model.h"

namespace e2e {

using camera_test::ChildProcess;
using camera_test::ReadText;

ChildProcess start(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& environment, const std::string& outFile,
                   const std::string& errFile) {
    camera_test::SpawnOptions options;
    options.environment = environment;
    options.outputFile = outFile;
    options.errorFile = errFile;
    return camera_test::StartChild(argv, options);
}

int outputWidth(int id) {
    return id == 9 ? 640 : 1280;
}
int outputHeight(int id) {
    return id == 9 ? 360 : 720;
}

std::string cameraSection(int id, std::uint32_t gop, bool undistort) {
    std::string text =
        "[cam_" + std::to_string(id) +
        "]\ninputImageWidth = 1920\ninputImageHeight = 1080\noutputImageWidth = " +
        std::to_string(outputWidth(id)) + "\noutputImageHeight = " + std::to_string(outputHeight(id)) +
        "\ncropTopOffset = 0\ncropLeftOffset = 0\nencoderGopNumber = " + std::to_string(gop) + "\n";
    if (undistort) {
        text += "remapFilePathX = maps/cam_" + std::to_string(id) + "_x.bin\nremapFilePathY = maps/cam_" +
                std::to_string(id) + "_y.bin\n";
    }
    return text;
}

std::string writeConfiguration(const std::string& dir, std::uint32_t gop) {
    std::string ini;
    for (int id = 8; id < 12; ++id) {
        ini += cameraSection(id, gop, id == 8 || id == 10) + "\n";
    }
    EXPECT_TRUE(camera_test::WriteFile(dir + "/aos_a_cam_config.ini", ini));
    EXPECT_TRUE(camera_test::WriteFile(dir + "/cm_deployment.json",
                                       ReadText(PROJECT_CONFIG_DIR "/cm_deployment.json")));
    ::mkdir((dir + "/maps").c_str(), 0755);
    const lens::Intrinsics camera{1300, 1300, 959.5, 539.5};
    const lens::UndistortMaps maps =
        lens::makeUndistortMaps(1920, 1080, camera, {-0.18, 0.05, 0, 0, 0}, camera);
    for (int id : {8, 10}) {
        const std::string prefix = dir + "/maps/cam_" + std::to_string(id);
        EXPECT_TRUE(lens::writeMapFiles(maps, prefix + "_x.bin", prefix + "_y.bin").HasValue());
    }
    return dir;
}

ChildProcess startApplication(const std::string& dir, std::map<std::string, std::string> environment) {
    const std::string chdirAndRun = "cd " + dir + " && exec " + CAMERA_DRIVING_BINARY;
    environment.emplace("CM_CONFIG_FILE_PATH", dir);
    environment.emplace("ARA_LOG_MODE", "console");
    return start({"/bin/sh", "-c", chdirAndRun}, environment, dir + "/app.out", dir + "/app.err");
}

ChildProcess runRecorder(const std::string& dir, std::vector<std::string> options) {
    std::vector<std::string> argv{CAMERA_RECORD_BINARY, "--output", dir + "/record", "--manifest",
                                  dir + "/cm_deployment.json"};
    argv.insert(argv.end(), options.begin(), options.end());
    return start(argv, {{"ARA_LOG_MODE", "console"}}, dir + "/recorder.out", dir + "/recorder.err");
}

camera_test::TemporaryDirectory testDirectory() {
    return camera_test::NewTestDirectory(
        std::string("e2e_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_");
}

long residentKb(pid_t pid) {
    std::istringstream status(ReadText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

std::size_t lineCount(const std::string& path) {
    const std::string text = ReadText(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool waitForLog(const std::string& path, const std::string& fragment, std::chrono::seconds timeout) {
    return camera_test::WaitForText(path, fragment, timeout);
}
std::vector<IndexRow> readIndex(const std::string& path) {
    std::vector<IndexRow> rows;
    std::istringstream lines(ReadText(path));
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) {
            fields.push_back(cell);
        }
        if (fields.size() < 5) {
            continue;
        }
        const std::size_t dot = fields[1].find('.');
        IndexRow row{
            std::stoll(fields[1].substr(0, dot)) * 1000000000 + std::stoll(fields[1].substr(dot + 1)),
            fields[2] == "1", std::nullopt};
        if (fields.size() > 5 && !fields[5].empty()) {
            row.frameCode = static_cast<std::uint32_t>(std::stoul(fields[5]));
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace e2e
