#pragma once
// Stand-in for a COM error object: the HRESULT of a failed call, the identifier of the called
// interface and a text. The MicronTracker server layer raises nothing else.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace Platform {

class ComError : public std::runtime_error
{
public:
    static constexpr std::int32_t pointer = static_cast<std::int32_t>(0x80004003);       // E_POINTER
    static constexpr std::int32_t noInterface = static_cast<std::int32_t>(0x80004002);   // E_NOINTERFACE
    static constexpr std::int32_t classNotRegistered = static_cast<std::int32_t>(0x80040154);

    ComError(std::int32_t hresult, std::string interfaceId, const std::string& text);
    // The system's text for the well-known results, else "Error 0x<hex>".
    static std::string describe(std::int32_t hresult);

    std::int32_t hresult() const { return hresult_; }
    const std::string& interfaceId() const { return interfaceId_; }

private:
    std::int32_t hresult_;
    std::string interfaceId_;
};

// The object behind a pointer that must not be empty: E_POINTER for the interface otherwise.
template <class Interface>
Interface& comObject(const std::shared_ptr<Interface>& pointer)
{
    if (!pointer)
        throw ComError(ComError::pointer, Interface::iid, ComError::describe(ComError::pointer));
    return *pointer;
}

}
