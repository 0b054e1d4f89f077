// zul-test-parent.exe: the setup program's side of the handshake, for the
// tests. It makes the two pipes and the event, starts the helper with /pid,
// /evt and /mon, waits for the event, answers every message and records,
// one line each, what it saw:
//   helper <pid>          event <0|1>
//   message <type hex> <length> <text, "\\" "\n" "\r" escaped; "-" without text>
//   exit <code>
// Options before "--" (the helper's own arguments follow it):
//   --helper PATH  --record FILE  --cancel-at K|user  --close-at K
//   --mon-first (/evt, /mon before /pid)   --not-pipes (file handles)
// It exits with the helper's exit code (also recorded, unshortened).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Escaped(const char* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length && text[i] != '\0'; ++i) {
        if (text[i] == '\\') out += "\\\\";
        else if (text[i] == '\n') out += "\\n";
        else if (text[i] == '\r') out += "\\r";
        else out += text[i];
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::string helper, record, cancelAt, extra;
    int closeAt = -1;
    bool monFirst = false, notPipes = false;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") { ++i; break; }
        if (a == "--helper" && i + 1 < argc) helper = argv[++i];
        else if (a == "--record" && i + 1 < argc) record = argv[++i];
        else if (a == "--cancel-at" && i + 1 < argc) cancelAt = argv[++i];
        else if (a == "--close-at" && i + 1 < argc) closeAt = std::atoi(argv[++i]);
        else if (a == "--mon-first") monFirst = true;
        else if (a == "--not-pipes") notPipes = true;
    }
    for (; i < argc; ++i) {
        extra += ' ';
        std::string a = argv[i];
        extra += a.find(' ') != std::string::npos ? "\"" + a + "\"" : a;
    }
    FILE* out = std::fopen(record.c_str(), "w");
    if (helper.empty() || out == nullptr) return 200;

    SECURITY_ATTRIBUTES plain = {sizeof plain, nullptr, FALSE};
    HANDLE messageRead = nullptr, messageWrite = nullptr, replyRead = nullptr, replyWrite = nullptr;
    if (notPipes) {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        std::string path = std::string(temp) + "zul-not-a-pipe.tmp";
        messageWrite = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        DuplicateHandle(GetCurrentProcess(), messageWrite, GetCurrentProcess(), &replyRead, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    } else if (!CreatePipe(&messageRead, &messageWrite, &plain, 0) ||
               !CreatePipe(&replyRead, &replyWrite, &plain, 0)) {
        return 201;
    }
    char eventName[64];
    std::snprintf(eventName, sizeof eventName, "ZulTestParentEvent%lu", GetCurrentProcessId());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, eventName);

    char pidText[32], monText[64];
    std::snprintf(pidText, sizeof pidText, "/pid %lu", GetCurrentProcessId());
    std::snprintf(monText, sizeof monText, "/mon %llu %llu",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(replyRead)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(messageWrite)));
    std::string commandLine = "\"" + helper + "\" ";
    if (monFirst)
        commandLine += std::string("/evt ") + eventName + " " + monText + " " + pidText;
    else
        commandLine += std::string(pidText) + " /evt " + eventName + " " + monText;
    commandLine += extra;

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(out, "start-failed %lu\n", GetLastError());
        return 202;
    }
    std::fprintf(out, "helper %lu\n", process.dwProcessId);
    HANDLE waits[2] = {event, process.hProcess};
    DWORD woken = WaitForMultipleObjects(2, waits, FALSE, 60000);
    std::fprintf(out, "event %d\n", woken == WAIT_OBJECT_0 ? 1 : 0);
    std::fflush(out);
    // Our copies of the helper's ends go, or the pipes never end.
    CloseHandle(replyRead);
    CloseHandle(messageWrite);

    if (!notPipes) {
        std::vector<char> buffer(65536);
        for (int count = 1;; ++count) {
            DWORD got = 0;
            if (!ReadFile(messageRead, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) ||
                got < 4)
                break;
            uint32_t type = 0;
            std::memcpy(&type, buffer.data(), 4);
            std::string text = got > 4 ? Escaped(buffer.data() + 4, got - 4) : "-";
            std::fprintf(out, "message %08X %lu %s\n", type, got, text.c_str());
            std::fflush(out);
            if (count == closeAt) break;
            int32_t reply = 1;
            bool isUser = (type & 0xFF000000u) == 0x03000000u;
            if ((cancelAt == "user" && isUser) || (!cancelAt.empty() && std::atoi(cancelAt.c_str()) == count))
                reply = 2;
            DWORD written = 0;
            if (!WriteFile(replyWrite, &reply, 4, &written, nullptr)) break;
        }
        CloseHandle(messageRead);
        CloseHandle(replyWrite);
    }
    WaitForSingleObject(process.hProcess, 300000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::fprintf(out, "exit %lu\n", code);
    std::fclose(out);
    return static_cast<int>(code);
}
