// What the Google Analytics sink hands its hit body to.
#pragma once
#include <string>

namespace Taliro {

class IHttpSender {
public:
    // True when the sender can send.
    virtual bool Initialize() = 0;
    // body: the UTF-8 hit. True only when the endpoint answered with status 200.
    virtual bool Send(const std::string& body) = 0;
    virtual ~IHttpSender() = default;
};

} // namespace Taliro
