// The report opened in headless Chromium: it loads without console errors, every image decodes, a screenshot is kept.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "report/index_page.h"
#include "report/run_report.h"
#include "report_support.h"

namespace warpmender {
namespace {

// The test's folder in the build tree; the screenshots stay there as artifacts.
std::string artifact_dir() { return std::string(WARPMENDER_BINARY_DIR) + "/tests/report_browser"; }

std::string find_chromium() {
    for (const char* name : {"chromium", "chromium-browser"}) {
        const char* path = std::getenv("PATH");
        std::stringstream dirs(path ? path : "/usr/bin:/bin");
        std::string dir;
        while (std::getline(dirs, dir, ':')) {
            const std::string candidate = dir + "/" + name;
            if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
        }
    }
    return "";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

struct BrowserRun {
    int status = -1;
    std::string stdout_text, stderr_text;
};

// One headless Chromium on a file: its own fresh profile, nothing from the
// network, a generous time limit (two shared cores start a browser slowly).
BrowserRun run_chromium(const std::string& chromium, const std::string& page, const std::string& mode,
                        const std::string& tag) {
    const std::string dir = artifact_dir() + "/" + tag;
    std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "/profile'").c_str());
    const std::string out = dir + "/stdout.txt", err = dir + "/stderr.txt";
    const std::string cmd = "cd '" + dir + "' && HOME='" + dir + "' timeout -k 10 120 '" + chromium +
                            "' --headless --no-sandbox --disable-gpu --no-first-run --no-default-browser-check "
                            "--disable-extensions --disable-background-networking --disable-component-update "
                            "--disable-sync --disable-dev-shm-usage --no-proxy-server --proxy-server='127.0.0.1:9' "
                            "--user-data-dir='" +
                            dir +
                            "/profile' --enable-logging=stderr --v=0 "
                            "--virtual-time-budget=15000 --hide-scrollbars " +
                            mode + " 'file://" + page + "' > '" + out + "' 2> '" + err + "'";
    BrowserRun r;
    r.status = std::system(cmd.c_str());
    r.stdout_text = read_file(out);
    r.stderr_text = read_file(err);
    return r;
}

// Chromium's log lines carrying a page's console messages.
std::vector<std::string> console_lines(const std::string& log) {
    std::vector<std::string> lines;
    std::stringstream s(log);
    std::string line;
    while (std::getline(s, line))
        if (line.find("CONSOLE") != std::string::npos) lines.push_back(line);
    return lines;
}

// The report with a script appended that checks every image once the page
// has loaded and writes the result into the page, for --dump-dom to show.
const char kImageProbe[] = R"(<script>
window.addEventListener('load', function () {
  var images = document.images, broken = 0;
  for (var i = 0; i < images.length; ++i)
    if (!(images[i].complete && images[i].naturalWidth > 0 && images[i].naturalHeight > 0)) ++broken;
  var d = document.createElement('div');
  d.id = 'image-probe';
  d.textContent = 'IMAGES ' + images.length + ' BROKEN ' + broken;
  document.body.appendChild(d);
});
</script>
)";

class ReportBrowser : public ::testing::Test {
protected:
    void SetUp() override {
        chromium_ = find_chromium();
        if (chromium_.empty()) GTEST_SKIP() << "chromium is not installed (scripts/setup installs it)";
        std::system(("mkdir -p '" + artifact_dir() + "'").c_str());
    }
    std::string chromium_;
};

TEST_F(ReportBrowser, report_loads_without_console_errors_and_every_image_decodes) {
    const std::string dir = artifact_dir();
    const report::RunReport run = test::sim_run(4, 4, "sub-01_task-rest_bold");
    const std::string page = dir + "/sub-01_task-rest_report.html";
    report::write_run_report(run, page, dir + "/sub-01_task-rest_report.json");

    std::string probed = read_file(page);
    const size_t end = probed.rfind("</body>");
    ASSERT_NE(end, std::string::npos);
    probed.insert(end, kImageProbe);
    write_file(dir + "/probed.html", probed);
    const BrowserRun dom = run_chromium(chromium_, dir + "/probed.html", "--dump-dom", "dom");
    ASSERT_EQ(dom.status, 0) << dom.stderr_text;
    EXPECT_NE(dom.stdout_text.find("<div id=\"image-probe\">IMAGES 18 BROKEN 0</div>"), std::string::npos)
        << "no probe result or broken images; the DOM ends with: "
        << dom.stdout_text.substr(dom.stdout_text.size() > 300 ? dom.stdout_text.size() - 300 : 0);
    EXPECT_TRUE(console_lines(dom.stderr_text).empty()) << console_lines(dom.stderr_text).front();

    // The page itself, unchanged, as a person sees it.
    const std::string shot = dir + "/sub-01_task-rest_report.png";
    std::remove(shot.c_str());
    const BrowserRun s = run_chromium(chromium_, page, "--window-size=1280,4400 --screenshot='" + shot + "'", "shot");
    ASSERT_EQ(s.status, 0) << s.stderr_text;
    EXPECT_TRUE(console_lines(s.stderr_text).empty()) << console_lines(s.stderr_text).front();
    png_image decoded{};
    decoded.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&decoded, shot.c_str())) << "no screenshot at " << shot;
    EXPECT_EQ(decoded.width, 1280u);
    png_image_free(&decoded);
}

TEST_F(ReportBrowser, console_errors_are_seen_and_broken_images_counted) {
    // The same probes on a page that logs an error and holds an image that cannot decode: both must show.
    const std::string dir = artifact_dir();
    write_file(dir + "/faulty.html", std::string("<!DOCTYPE html><html><head><link rel=\"icon\" href=\"data:,\"></head>"
                                                 "<body><img src=\"data:image/png;base64,AAAA\">"
                                                 "<script>console.error('probe error');</script>") +
                                         kImageProbe + "</body></html>");
    const BrowserRun dom = run_chromium(chromium_, dir + "/faulty.html", "--dump-dom", "faulty");
    ASSERT_EQ(dom.status, 0) << dom.stderr_text;
    EXPECT_NE(dom.stdout_text.find("<div id=\"image-probe\">IMAGES 1 BROKEN 1</div>"), std::string::npos)
        << dom.stdout_text;
    EXPECT_FALSE(console_lines(dom.stderr_text).empty()) << dom.stderr_text;
}

TEST_F(ReportBrowser, index_page_loads_and_links_the_reports) {
    const std::string dir = artifact_dir();
    const report::RunSummary good = report::summarise(test::sim_run(4, 4, "sub-01_task-rest_bold"));
    // The flipped run's report beside it, so that the index's links all lead somewhere.
    const report::RunReport flipped = test::sim_run(4, 3, "sub-02_task-rest_bold");
    report::write_run_report(flipped, dir + "/sub-02_task-rest_report.html", dir + "/sub-02_task-rest_report.json");
    const report::RunSummary bad = report::summarise(flipped);
    report::write_index(dir + "/index.html", "warpmender reports",
                        {{"sub-01_task-rest_report.html", good}, {"sub-02_task-rest_report.html", bad}});
    const BrowserRun dom = run_chromium(chromium_, dir + "/index.html", "--dump-dom", "index");
    ASSERT_EQ(dom.status, 0) << dom.stderr_text;
    EXPECT_NE(dom.stdout_text.find("href=\"sub-01_task-rest_report.html\""), std::string::npos);
    EXPECT_TRUE(console_lines(dom.stderr_text).empty()) << console_lines(dom.stderr_text).front();
    const std::string shot = dir + "/index.png";
    run_chromium(chromium_, dir + "/index.html", "--window-size=1280,700 --screenshot='" + shot + "'", "index_shot");
}

// scripts/report-screenshot run as a user runs it; exit status and standard error.
BrowserRun run_screenshot_script(const std::vector<std::string>& args, const std::string& tag) {
    const std::string base = artifact_dir() + "/script-" + tag;
    std::string cmd = "'" + std::string(WARPMENDER_SOURCE_DIR) + "/scripts/report-screenshot'";
    for (const std::string& a : args) cmd += " '" + a + "'";
    cmd += " > '" + base + ".out' 2> '" + base + ".err'";
    const int raw = std::system(cmd.c_str());
    BrowserRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.stdout_text = read_file(base + ".out");
    r.stderr_text = read_file(base + ".err");
    return r;
}

std::set<std::string> files_in(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

TEST_F(ReportBrowser, screenshot_script_renders_the_page_at_the_window_size_it_is_given) {
    const std::string dir = artifact_dir() + "/script";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "/shots");
    const std::string page = dir + "/sub-01_task-rest_report.html";
    report::write_run_report(test::sim_run(4, 4, "sub-01_task-rest_bold"), page, dir + "/sub-01_task-rest_report.json");
    const std::string shot = dir + "/shots/report.png";
    const BrowserRun r = run_screenshot_script({page, shot, "900x700"}, "good");
    ASSERT_EQ(r.status, 0) << r.stderr_text;
    EXPECT_NE(r.stdout_text.find("900 x 700"), std::string::npos) << r.stdout_text;

    png_image decoded{};
    decoded.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&decoded, shot.c_str())) << "no screenshot at " << shot;
    EXPECT_EQ(decoded.width, 900u);
    EXPECT_EQ(decoded.height, 700u);
    decoded.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(decoded));
    ASSERT_TRUE(png_image_finish_read(&decoded, nullptr, rgb.data(), 0, nullptr));
    // The page drawn, not a blank window: its title's dark text, its slices' greys and the field's reds and blues.
    std::set<unsigned> colours;
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) colours.insert(rgb[i] << 16 | rgb[i + 1] << 8 | rgb[i + 2]);
    EXPECT_GT(colours.size(), 200u);
    // Only the screenshot is left beside it.
    EXPECT_EQ(files_in(dir + "/shots"), std::set<std::string>{"report.png"});
}

TEST_F(ReportBrowser, screenshot_script_refuses_bad_arguments_naming_them_and_writes_nothing) {
    const std::string dir = artifact_dir() + "/script-bad";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string page = dir + "/page.html";
    write_file(page, "<!DOCTYPE html><html><body>x</body></html>");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{dir + "/missing.html", dir + "/a.png"}, "report '" + dir + "/missing.html' is not a readable file"},
        {{page, dir + "/no/such/a.png"}, "folder '" + dir + "/no/such' does not exist"},
        {{page, dir + "/a.png", "900by700"}, "window size '900by700' is not WIDTHxHEIGHT"},
        {{page, dir + "/a.png", "0x700"}, "window size '0x700' is not WIDTHxHEIGHT"},
        {{page, dir + "/a.png", "99999x700"}, "larger than 16384 pixels"},
        {{page}, "usage: scripts/report-screenshot REPORT.html OUT.png [WIDTHxHEIGHT]"},
    };
    int k = 0;
    for (const Case& c : cases) {
        const BrowserRun r = run_screenshot_script(c.args, "bad" + std::to_string(k++));
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.stderr_text.find(c.message), std::string::npos) << r.stderr_text;
    }
    EXPECT_EQ(files_in(dir), std::set<std::string>{"page.html"});
}

}  // namespace
}  // namespace warpmender
