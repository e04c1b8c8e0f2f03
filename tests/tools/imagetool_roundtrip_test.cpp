// Round trips between imagetool and the boot manager's format readers:
// images made by `imagetool create` are walked by the readers, and images
// made by the format writer are read back by `imagetool info` and
// `imagetool extract`.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "byteorder.h"
#include "image/format.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/imagetool_rt_XXXXXX";
        path = mkdtemp(name) ? name : "";
    }
    ~TempDir() {
        if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string file(const char* name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const Bytes& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

// Runs imagetool with the arguments (no shell involved); returns its exit
// status and, if asked, its standard output.
int imagetool(const std::vector<std::string>& args, std::string* out = nullptr) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        close(pipefd[1]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(IMAGETOOL_PATH));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(IMAGETOOL_PATH, argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Expect {
    int version;
    std::uint32_t type;
    std::uint32_t effective;
    std::uint32_t id;
    const Bytes* payload;
    int sig_len;  // -1: none
};

TEST(ImagetoolRoundTrip, CreatedImagesWalkWithTheReaders) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    Bytes p1(70000), p2(5);
    for (std::size_t i = 0; i < p1.size(); ++i) p1[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    write_file(dir.file("p1"), p1);
    write_file(dir.file("p2"), p2);
    const std::string img = dir.file("img");
    ASSERT_EQ(imagetool({"create", "-o", img,
                         "--type", "uboot", "--header", "2", "--version", "3.0.0.1",
                         "--payload", dir.file("p2"),
                         "--type", "app", "--version", "1.2.3.4", "--alt-type", "diags",
                         "--record", "3:0003aabbcc", "--record", "3:0001dd",
                         "--payload", dir.file("p1"),
                         "--type", "velta", "--header", "1", "--payload", dir.file("p1")}),
              0);
    const Bytes file = read_file(img);
    const Expect expected[] = {
        {2, IMAGE_TYPE_UBOOT, IMAGE_TYPE_UBOOT, 0x03000001u, &p2, -1},
        {3, IMAGE_TYPE_APPLICATION, IMAGE_TYPE_DIAGS, 0x01020304u, &p1, 1},
        {1, IMAGE_TYPE_VELTA, IMAGE_TYPE_VELTA, 0, &p1, -1},
    };
    ImageWalk w = image_walk_begin(image_source_memory(file));
    ImageComponent c{};
    for (const auto& e : expected) {
        ASSERT_EQ(image_walk_next(w, &c), IMAGE_WALK_COMPONENT);
        const auto comp = std::span<const std::uint8_t>(file).subspan(
            c.offset, c.header.total_length);
        EXPECT_EQ(c.header.version, e.version);
        EXPECT_EQ(c.type, e.type);
        EXPECT_EQ(image_effective_type(comp, c.header.magic, nullptr), e.effective);
        EXPECT_EQ(c.header.id, e.id);
        EXPECT_TRUE(image_crc_ok(comp, c.header.total_length));
        EXPECT_EQ(Bytes(comp.begin() + c.header.payload_offset, comp.end()), *e.payload);
        ImageSignature sig{};
        const int st = image_find_signature(comp, &sig);
        if (e.sig_len < 0) {
            EXPECT_NE(st, IMAGE_RECORD_FOUND);
        } else {
            ASSERT_EQ(st, IMAGE_RECORD_FOUND);
            EXPECT_EQ(sig.length, e.sig_len);
            EXPECT_EQ(comp[sig.offset], 0xDD);
        }
    }
    EXPECT_EQ(image_walk_next(w, &c), IMAGE_WALK_END);
}

TEST(ImagetoolRoundTrip, WrittenImagesReadByImagetool) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const Bytes payload(1234, 0x3C);
    Bytes sig1(300), sig2(300);
    const Bytes s1(256, 0x01), s2(256, 0x02);
    sig1.resize(image_signature_record_body(s1, sig1));
    sig2.resize(image_signature_record_body(s2, sig2));
    const ImageRecordDesc recs[] = {{3, sig1}, {3, sig2}};
    const ImageComponentDesc desc{IMAGE_TYPE_RFS, 0x00000102u, 3, recs, payload};
    std::uint64_t total = 0;
    ASSERT_EQ(image_build_size(desc, &total), IMAGE_BUILD_OK);
    Bytes img(total);
    ASSERT_EQ(image_build_component(desc, img), IMAGE_BUILD_OK);
    write_file(dir.file("img"), img);

    std::string json;
    ASSERT_EQ(imagetool({"info", dir.file("img"), "--json"}, &json), 0);
    EXPECT_NE(json.find("\"signed\": true, \"signature_length\": 256"), std::string::npos) << json;

    ASSERT_EQ(imagetool({"extract", dir.file("img"), "--type", "rfs", "-o", dir.file("out")}), 0);
    EXPECT_EQ(read_file(dir.file("out")), payload);

    img[img.size() - 1] ^= 1;  // payload damaged: both verbs refuse
    write_file(dir.file("img"), img);
    EXPECT_EQ(imagetool({"info", dir.file("img")}), 1);
    EXPECT_EQ(imagetool({"extract", dir.file("img"), "--type", "rfs", "-o", dir.file("out2")}), 1);
}

}  // namespace
