// The reply of one request, read from the future that the bus's reply callback completes.
#pragma once
#include "MessageBus.h"

#include <future>

namespace Taliro {

class ReplyImpl : public Reply {
public:
    explicit ReplyImpl(std::shared_future<std::shared_ptr<Message>> future);

    unsigned long getStatus() override { return m_status; }
    std::shared_ptr<Message> getMessage() override;
    unsigned long updateStatus() override;
    unsigned long waitFor(const std::chrono::milliseconds duration) override;

private:
    unsigned long getReplyMessage();

    unsigned long m_status = kReplyPending;
    std::shared_ptr<Message> m_message;
    std::shared_future<std::shared_ptr<Message>> m_future;
};

} // namespace Taliro
