#include "MessageBusShim.h"

#include "ModuleStatus.h"
#include "dll/SharedLibrary.h"
#include "performance/PerfTimer.h"

#include <mutex>
#include <new>
#include <vector>

namespace Taliro {

namespace {

constexpr const wchar_t* kSource = L"MessageBusLib";
constexpr unsigned long kVersionNumber = 1006000;

const LibraryDescription& BusLibraryDescription()
{
    static const LibraryDescription description{L"Quorra.dll", {L"$(App.Folder)", L"$(Tessel.InstallDir)"}};
    return description;
}

const LibraryDescription& g_busLibraryDescription = BusLibraryDescription();

// References to the bus library dropped on a thread that the library's code would return to.
// They are kept, so the library stays loaded for the process: no other end could tell when
// that thread, or a thread of the library's own, is out of its code.
void KeepLoaded(const std::shared_ptr<SharedLibrary>& library) noexcept
{
    try {
        static std::mutex* lock = new std::mutex();
        static auto* kept = new std::vector<std::shared_ptr<SharedLibrary>>(); // not released at exit either
        std::lock_guard<std::mutex> guard(*lock);
        kept->push_back(library);
    } catch (...) {
        new (std::nothrow) std::shared_ptr<SharedLibrary>(library);
    }
}

} // namespace

MessageBusLib::MessageBusLib(std::shared_ptr<SharedLibrary> library, std::shared_ptr<MessageBusShim> inner)
    : m_library(std::move(library))
{
    internal::PerfTimer timer(L"MessageBusLib::MessageBusLib");
    if (!m_library) m_library = std::make_shared<SharedLibrary>(BusLibraryDescription());

    auto createObject = m_library->importedFunctions().createObject;
    m_functions = createObject ? static_cast<const MessageBusFunctions*>(createObject(kVersionNumber)) : nullptr;
    if (!internal::IsCompleteTable(m_functions)) {
        TALIRO_LOG(4, kSource, L"Taliro::MessageBusLib::MessageBusLib",
                   L"Failed to get message bus functions object. Throwing ModuleException.");
        throw ModuleException("Failed to get message bus functions object");
    }

    unsigned long status = m_functions->getHandle(&m_handle);
    if (status != MODULE_STATUS_SUCCESS) {
        TALIRO_LOG(4, kSource, L"Taliro::MessageBusLib::MessageBusLib",
                   L"Failed to get message bus handle. Error code: %ls(%lu). Throwing ModuleException.",
                   GetStatusName(status), status);
        throw ModuleException("Failed to get message bus handle");
    }

    // From here on the handle is ours: a failure before the constructor completes releases it,
    // since no destructor will.
    try {
        m_inner = inner ? std::move(inner) : std::shared_ptr<MessageBusShim>(new MessageBusShimImpl(m_handle, m_functions));
        timer.stop();
    } catch (...) {
        m_inner.reset();
        releaseHandle();
        throw;
    }
}

MessageBusLib::~MessageBusLib()
{
    m_inner.reset();
    releaseHandle();
    if (m_library && internal::InsideBusCallback()) KeepLoaded(m_library);
    m_library.reset();
}

void MessageBusLib::releaseHandle()
{
    if (!m_handle) return;
    try {
        unsigned long status = m_functions->releaseHandle(m_handle);
        m_handle = nullptr;
        if (status != MODULE_STATUS_SUCCESS)
            TALIRO_LOG(2, kSource, L"Taliro::MessageBusLib::~MessageBusLib",
                       L"Failed to release message bus. Error code %ls(%lu).", GetStatusName(status), status);
    } catch (...) {
    }
}

unsigned long MessageBusLib::publish(const std::shared_ptr<Message>& message) { return m_inner->publish(message); }

unsigned long MessageBusLib::request(const std::shared_ptr<Message>& message, unsigned long long index,
                                     void* context, unsigned long long value)
{
    return m_inner->request(message, index, context, value);
}

unsigned long MessageBusLib::unregisterReplyCallback() { return m_inner->unregisterReplyCallback(); }

unsigned long MessageBusLib::subscribe(const std::wstring& name, void* context)
{
    return m_inner->subscribe(name, context);
}

unsigned long MessageBusLib::subscribeFilter(const std::wstring& pattern, void* context)
{
    return m_inner->subscribeFilter(pattern, context);
}

unsigned long MessageBusLib::unsubscribe(unsigned long id) { return m_inner->unsubscribe(id); }

} // namespace Taliro
