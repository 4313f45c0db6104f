// SPDX-License-Identifier: MIT
// The clients people use, against the real server: curl, wget, Python's http.client and a
// headless Chromium rendering a page with a stylesheet, a classic script and an image.
#include "harness.h"

#include <unistd.h>

#include <cstdio>

namespace {

// Runs a shell command; its standard output, or nothing when it failed.
std::string run(const std::string &command, int *status = nullptr)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[65536];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, got);
    int done = pclose(pipe);
    if (status)
        *status = done;
    return out;
}

bool have(const std::string &program)
{
    return run("command -v " + program + " >/dev/null && echo yes") == "yes\n";
}

// A 24-bit BMP image, width by height: browsers recognise it by its first bytes.
std::string bitmap(uint32_t width, uint32_t height)
{
    uint32_t row = (width * 3 + 3) / 4 * 4;
    uint32_t pixels = row * height;
    std::string bytes = "BM";
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes += static_cast<char>(v >> (8 * i) & 0xff);
    };
    auto u16 = [&](uint16_t v) {
        bytes += static_cast<char>(v & 0xff);
        bytes += static_cast<char>(v >> 8);
    };
    u32(54 + pixels); // file size
    u32(0);
    u32(54); // where the pixels start
    u32(40); // size of the info header
    u32(width);
    u32(height);
    u16(1);  // planes
    u16(24); // bits per pixel
    u32(0);  // no compression
    u32(pixels);
    u32(2835);
    u32(2835);
    u32(0);
    u32(0);
    return bytes + std::string(pixels, '\x7f');
}

struct Clients : testing::Test {
    Tree tree;
    std::string text = "plain text\nsecond line\n";
    std::string binary = noise(100 * 1024, 21);
    std::string large = noise(5 << 20, 22);
    std::unique_ptr<Server> server;
    void SetUp() override
    {
        tree.file("text.txt", text);
        tree.file("binary.bin", binary);
        tree.file("large.bin", large);
        server = std::make_unique<Server>(tree);
    }
    void TearDown() override { EXPECT_EQ(server->err(), ""); }
};

TEST_F(Clients, CommandLineAndLibraryClientsGetExactBytes)
{
    const std::vector<std::pair<std::string, std::string>> clients = {
        {"curl", "curl -sS --fail -o OUT URL"},
        {"wget", "wget -q -O OUT URL"},
        {"python3", "python3 -c 'import http.client,sys\n"
                    "c = http.client.HTTPConnection(\"127.0.0.1\", 8080, timeout=20)\n"
                    "c.request(\"GET\", \"/NAME\")\n"
                    "r = c.getresponse()\n"
                    "assert r.status == 200, r.status\n"
                    "open(\"OUT\", \"wb\").write(r.read())'"},
    };
    const std::vector<std::pair<std::string, const std::string *>> files = {
        {"text.txt", &text}, {"binary.bin", &binary}, {"large.bin", &large}};
    for (const auto &[client, pattern] : clients) {
        if (!have(client)) {
            ADD_FAILURE() << client << " is not installed";
            continue;
        }
        for (const auto &[name, bytes] : files) {
            std::string out = tree.base + "/got-" + client + "-" + name;
            std::string command = pattern;
            for (auto [key, value] : {std::pair<std::string, std::string>{"OUT", out},
                                      {"URL", "http://127.0.0.1:8080/" + name},
                                      {"NAME", name}})
                for (size_t at; (at = command.find(key)) != std::string::npos;)
                    command.replace(at, key.size(), value);
            int status = -1;
            run(command + " 2>&1", &status);
            EXPECT_EQ(status, 0) << command;
            std::string got = slurp(out);
            EXPECT_EQ(got.size(), bytes->size()) << client << " " << name;
            EXPECT_TRUE(got == *bytes) << client << " " << name;
        }
    }
}

// The page's script runs once everything has loaded and writes what took effect into the
// document: the colour the stylesheet gave, and the image's width as decoded.
TEST_F(Clients, BrowserAppliesStylesheetScriptAndImage)
{
    std::string browser = have("chromium") ? "chromium" : have("chromium-browser") ? "chromium-browser" : "";
    if (browser.empty())
        GTEST_SKIP() << "Debian's chromium is not installed (apt-get install chromium)";
    tree.file("page.html", "<!doctype html>\n<html><head><title>sever</title>\n"
                           "<link rel=\"stylesheet\" href=\"style.css\"></head>\n"
                           "<body><p id=\"styled\">styled</p><img id=\"picture\" src=\"picture.bmp\">\n"
                           "<p id=\"marker\">script did not run</p>\n"
                           "<script src=\"script.js\"></script></body></html>\n");
    tree.file("style.css", "#styled { color: rgb(1, 2, 3); }\n");
    tree.file("script.js", "window.addEventListener('load', function () {\n"
                           "  var colour = getComputedStyle(document.getElementById('styled')).color;\n"
                           "  var width = document.getElementById('picture').naturalWidth;\n"
                           "  document.getElementById('marker').textContent =\n"
                           "    'colour=' + colour + ' width=' + width;\n"
                           "});\n");
    tree.file("picture.bmp", bitmap(7, 3));
    std::string profile = tree.base + "/profile";
    std::string dom =
        run("timeout 90 " + browser +
            " --headless --no-sandbox --disable-gpu --disable-background-networking --no-first-run" +
            " --disable-quic --disable-component-update --disable-sync --user-data-dir=" + profile +
            " --virtual-time-budget=5000 --dump-dom http://127.0.0.1:8080/page.html 2>/dev/null");
    EXPECT_NE(dom.find("colour=rgb(1, 2, 3) width=7"), std::string::npos) << dom;
}

} // namespace
