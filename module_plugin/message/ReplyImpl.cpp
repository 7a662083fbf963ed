#include "message/ReplyImpl.h"

#include "ModuleStatus.h"

#include <system_error>

namespace Taliro {

namespace {
constexpr const wchar_t* kSource = L"message\\ReplyImpl";
}

ReplyImpl::ReplyImpl(std::shared_future<std::shared_ptr<Message>> future) : m_future(std::move(future)) {}

std::shared_ptr<Message> ReplyImpl::getMessage()
{
    return m_status == kReplyArrived ? m_message : nullptr;
}

unsigned long ReplyImpl::getReplyMessage()
{
    if (!m_future.valid()) {
        TALIRO_LOG(4, kSource, L"Taliro::ReplyImpl::getReplyMessage", L"Reply future is in an invalid state. Returning.");
        return kReplyFailed;
    }
    try {
        std::shared_ptr<Message> message = m_future.get();
        if (!message) return kReplyFailed;
        m_message = std::move(message);
        return kReplyArrived;
    } catch (const std::system_error& error) {
        return error.code() == std::make_error_condition(std::errc::operation_canceled) ? kReplyTimedOut
                                                                                         : kReplyFailed;
    } catch (const std::future_error&) {
        // A broken promise: the client went before the bus answered.
        return kReplyFailed;
    }
}

unsigned long ReplyImpl::updateStatus()
{
    if (m_status != kReplyArrived) m_status = getReplyMessage();
    return m_status;
}

unsigned long ReplyImpl::waitFor(const std::chrono::milliseconds duration)
{
    if (!m_future.valid()) {
        TALIRO_LOG(4, kSource, L"Taliro::ReplyImpl::waitFor", L"Reply future is in an invalid state. Returning.");
        m_status = kReplyFailed;
        return m_status;
    }
    if (m_future.wait_for(duration) == std::future_status::timeout) {
        TALIRO_LOG(2, kSource, L"Taliro::ReplyImpl::waitFor", L"Reply waitFor timed out. Returning.");
        return m_status;
    }
    m_status = getReplyMessage();
    return m_status;
}

} // namespace Taliro
