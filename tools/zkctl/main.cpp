// zkctl for Windows: the tool's logic (zkctl.cpp) on top of the instances'
// control devices, opened as \\.\ZelkorN.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ioctl/request.h"
#include "tools/zkctl/machine_windows.h"
#include "tools/zkctl/zkctl.h"

namespace {

zkctl::Failure FailureOf(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return zkctl::Failure::AccessDenied;
    case ERROR_FILE_NOT_FOUND:  // also a removed instance (STATUS_NO_SUCH_DEVICE)
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
        return zkctl::Failure::NoInstance;
    default:
        return zkctl::Failure::Refused;
    }
}

class WindowsInstance : public zkctl::Instance {
public:
    explicit WindowsInstance(HANDLE handle) : handle_(handle) {}
    ~WindowsInstance() override { CloseHandle(handle_); }
    WindowsInstance(const WindowsInstance&) = delete;
    WindowsInstance& operator=(const WindowsInstance&) = delete;

    zkctl::Reply Request(const std::vector<uint8_t>& input, size_t outputLength) override {
        std::vector<uint8_t> in = input;
        std::vector<uint8_t> out(outputLength);
        DWORD returned = 0;
        zkctl::Reply reply;
        if (!DeviceIoControl(handle_, ZK_REQUEST_CODE, in.data(), static_cast<DWORD>(in.size()),
                             out.empty() ? nullptr : out.data(), static_cast<DWORD>(out.size()), &returned, nullptr)) {
            const DWORD error = GetLastError();
            reply.failure = FailureOf(error);
            reply.code = "error " + std::to_string(error);
            return reply;
        }
        out.resize(returned < out.size() ? returned : out.size());
        reply.output = std::move(out);
        return reply;
    }

private:
    HANDLE handle_;
};

std::unique_ptr<zkctl::Instance> Open(unsigned number, zkctl::Reply* failure) {
    const std::string name = "\\\\.\\Zelkor" + std::to_string(number);
    // The request needs no access right of its own (FILE_ANY_ACCESS).
    HANDLE handle = CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        failure->failure = FailureOf(error);
        failure->code = "error " + std::to_string(error);
        return nullptr;
    }
    return std::make_unique<WindowsInstance>(handle);
}

// The machine's ANSI code page's text as UTF-8, for JSON.
std::string AnsiToUtf8(const std::string& text) {
    if (text.empty()) return text;
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(m), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, utf8.data(), m, nullptr, nullptr);
    return utf8;
}

}  // namespace

int main(int argc, char** argv) {
    zkctl::SetAnsiCodePage(AnsiToUtf8);
    std::vector<std::string> args(argv + 1, argv + argc);
    zkctl::WindowsMachine machine;
    zkctl::Result result = zkctl::Run(args, Open, &machine);
    std::fputs(result.out.c_str(), stdout);
    std::fputs(result.err.c_str(), stderr);
    return result.exitCode;
}
