// The console on arbitrary operator input. Input: a 16-bit little-endian
// answer length and that many bytes, which the stand-in service gives back
// for every call (length 0: the call fails), then what the operator types.
// Paths the operator types stay inside a scratch folder: '/' becomes '_'.
// Only the first 32 lines are typed.
//
// Checked: every request the console sends is well formed for its method.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SecurityConsole.h"
#include "zeldbus.h"

namespace {

constexpr int kMaxLines = 32;

std::string g_answer;
bool g_answerGiven = false;
FILE* g_sink = nullptr;
int g_scratch = -1;  // the folder the console works in
int g_home = -1;     // the fuzzer's own working folder

void Check(bool condition)
{
    if (!condition)
        abort();
}

// Files the console saved in the scratch folder.
void EmptyScratch()
{
    DIR* dir = opendir(".");
    if (dir == nullptr)
        return;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_type == DT_REG)
            unlink(entry->d_name);
    }
    closedir(dir);
}

}  // namespace

extern "C" int zeldbus_sendMessageSync(const char* destination, const char* interface,
                                       const char* member, unsigned char* data, int length,
                                       unsigned char** answer, int* answerLength)
{
    Check(strcmp(destination, "com.zel.vyrna.SecurityManager") == 0);
    Check(strcmp(interface, "com.zel.vyrna") == 0);
    if (strcmp(member, "StoreData") == 0)
        Check(length >= 8 && length < 8 + 65536);
    else
        Check((strcmp(member, "RetrieveData") == 0 || strcmp(member, "ClearData") == 0)
              && length == 4);
    Check(data != nullptr);
    if (!g_answerGiven)
        return ZELDBUS_NOT_CONFIGURED;
    *answer = static_cast<unsigned char*>(malloc(g_answer.size()));
    memcpy(*answer, g_answer.data(), g_answer.size());
    *answerLength = static_cast<int>(g_answer.size());
    return ZELDBUS_OK;
}

extern "C" void zeldbus_disconnect(void) {}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char scratch[] = "/dev/shm/console-fuzz-XXXXXX";
    if (mkdtemp(scratch) == nullptr)
        abort();
    g_scratch = open(scratch, O_RDONLY | O_DIRECTORY);
    g_home = open(".", O_RDONLY | O_DIRECTORY);
    if (g_scratch < 0 || g_home < 0)
        abort();
    static std::string path = scratch;
    atexit([] { rmdir(path.c_str()); });
    // The console flushes after every prompt; a sink without a file
    // descriptor spares a system call each time.
    cookie_io_functions_t discard{};
    discard.write = [](void*, const char*, size_t size) -> ssize_t { return ssize_t(size); };
    g_sink = fopencookie(nullptr, "w", discard);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    size_t length = std::min<size_t>(data[0] | (data[1] << 8), size - 2);
    g_answer.assign(reinterpret_cast<const char*>(data) + 2, length);
    g_answerGiven = length > 0;
    std::string typed(reinterpret_cast<const char*>(data) + 2 + length, size - 2 - length);
    // Every state of the dialogue is a few lines away from the start, so
    // only the first lines are typed: longer inputs would only repeat them.
    int lines = 0;
    for (size_t i = 0; i < typed.size(); ++i) {
        if (typed[i] == '/')
            typed[i] = '_';
        if (typed[i] == '\n' && ++lines == kMaxLines) {
            typed.resize(i + 1);
            break;
        }
    }
    FILE* in = fmemopen(typed.data(), typed.size() + 1, "r");
    if (in == nullptr)
        return 0;
    // Only while the console runs: the fuzzer's own paths may be relative.
    Check(fchdir(g_scratch) == 0);
    {
        SecurityConsole console(in, g_sink);
        console.run();
    }
    fclose(in);
    EmptyScratch();
    Check(fchdir(g_home) == 0);
    return 0;
}
