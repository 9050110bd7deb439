#pragma once
// Builds DICOM data byte by byte, for tests that need files no writer would make.
#include "dicom/io/DicomVR.h"

#include <cstdint>
#include <string>
#include <vector>

namespace DicomTestSupport {

using Vexa::DicomVR;

// Builds data sets byte by byte.
struct Bytes
{
    std::vector<uint8_t> data;
    bool big = false;

    Bytes& u16(uint16_t v)
    {
        if (big)
            data.insert(data.end(), {uint8_t(v >> 8), uint8_t(v)});
        else
            data.insert(data.end(), {uint8_t(v), uint8_t(v >> 8)});
        return *this;
    }
    Bytes& u32(uint32_t v)
    {
        if (big)
            return u16(uint16_t(v >> 16)).u16(uint16_t(v));
        return u16(uint16_t(v)).u16(uint16_t(v >> 16));
    }
    Bytes& raw(const std::string& s)
    {
        data.insert(data.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& tag(uint16_t g, uint16_t e) { return u16(g).u16(e); }
    std::string text() const { return std::string(data.begin(), data.end()); }
    // Explicit VR element with a short or long length field as the VR requires.
    Bytes& element(uint16_t g, uint16_t e, const char* vr, const std::string& value)
    {
        tag(g, e).raw(vr);
        if (DicomVR(vr[0], vr[1]).hasLongLength())
            u16(0).u32(uint32_t(value.size()));
        else
            u16(uint16_t(value.size()));
        return raw(value);
    }
    Bytes& implicitElement(uint16_t g, uint16_t e, const std::string& value)
    {
        return tag(g, e).u32(uint32_t(value.size())).raw(value);
    }
    Bytes& item(uint32_t length = 0xFFFFFFFF) { return tag(0xFFFE, 0xE000).u32(length); }
    Bytes& itemEnd() { return tag(0xFFFE, 0xE00D).u32(0); }
    Bytes& sequenceEnd() { return tag(0xFFFE, 0xE0DD).u32(0); }
    // A preamble and a meta header naming the transfer syntax.
    static Bytes file(const std::string& syntax)
    {
        Bytes b;
        b.data.assign(128, 0);
        b.raw("DICM");
        std::string uid = syntax.size() % 2 ? syntax + '\0' : syntax;
        b.element(0x0002, 0x0010, "UI", uid);
        return b;
    }
};

}
