// A client of OvTelvana.exe in a process of its own: activates the class across processes and
// makes the calls listed in a file (UTF-8, one per line, fields split by tabs, "<null>" for a
// null string):
//   event <configuration> <event> <dataset list>      -> ReportEventData
//   log <application> <component> <method> <type> <message>  -> ReportLogData
// Writes one line per call to the results file ("-": standard output): "<call> 0x<HRESULT>".
//   ovtelvana_client create|checked|factory <calls file> <results file>
// create: CoCreateInstance (local server); checked: the class object's IOvClassFactory;
// factory: the class object's IClassFactory. An activation failure is the exit code.
#include <windows.h>
#include <ole2.h>
#include <initguid.h>

#include "TelvanaInterfaces.h"

#include "Platform/ComPtr.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::wstring Widen(const std::string& text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::stringstream stream(line);
    for (std::string field; std::getline(stream, field, '\t');) fields.push_back(field);
    return fields;
}

Platform::Bstr Arg(const std::vector<std::string>& fields, size_t index)
{
    if (index >= fields.size() || fields[index] == "<null>") return Platform::Bstr();
    return Platform::Bstr(Widen(fields[index]));
}

HRESULT Activate(const std::string& road, Platform::ComPtr<IOvTelvana>& object)
{
    if (road == "create")
        return CoCreateInstance(CLSID_OvTelvana, nullptr, CLSCTX_LOCAL_SERVER, IID_IOvTelvana,
                                reinterpret_cast<void**>(&object));
    // Every road hands back the interface asked for: no QueryInterface after it.
    HRESULT hr = E_INVALIDARG;
    if (road == "checked") {
        Platform::ComPtr<IOvClassFactory> factory;
        hr = CoGetClassObject(CLSID_OvTelvana, CLSCTX_LOCAL_SERVER, nullptr, IID_IOvClassFactory,
                              reinterpret_cast<void**>(&factory));
        if (SUCCEEDED(hr)) hr = factory->CreateInstance(IID_IOvTelvana, reinterpret_cast<IUnknown**>(&object));
    } else if (road == "factory") {
        Platform::ComPtr<IClassFactory> factory;
        hr = CoGetClassObject(CLSID_OvTelvana, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                              reinterpret_cast<void**>(&factory));
        if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, IID_IOvTelvana, reinterpret_cast<void**>(&object));
    }
    return hr;
}

int Run(const std::string& road, const char* callsPath, const char* resultsPath)
{
    std::ifstream calls(callsPath, std::ios::binary);
    if (!calls) return 2;
    std::FILE* out = std::string(resultsPath) == "-" ? stdout : std::fopen(resultsPath, "wb");
    if (!out) return 2;
    Platform::ComPtr<IOvTelvana> object;
    HRESULT hr = Activate(road, object);
    std::fprintf(out, "activate 0x%08lX\n", static_cast<unsigned long>(hr));
    for (std::string line; SUCCEEDED(hr) && std::getline(calls, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> f = Fields(line);
        if (f.empty()) continue;
        HRESULT call = E_INVALIDARG;
        if (f[0] == "event") {
            call = object->ReportEventData(Arg(f, 1).Get(), Arg(f, 2).Get(), Arg(f, 3).Get());
        } else if (f[0] == "log") {
            call = object->ReportLogData(Arg(f, 1).Get(), Arg(f, 2).Get(), Arg(f, 3).Get(), Arg(f, 4).Get(),
                                         Arg(f, 5).Get());
        }
        std::fprintf(out, "%s 0x%08lX\n", f[0].c_str(), static_cast<unsigned long>(call));
    }
    if (out != stdout) std::fclose(out);
    return SUCCEEDED(hr) ? 0 : static_cast<int>(hr);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: ovtelvana_client create|checked|factory <calls file> <results file>\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
    int result = Run(argv[1], argv[2], argv[3]);
    CoUninitialize();
    return result;
}
