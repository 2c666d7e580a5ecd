#pragma once

// The tables shared by the encoder, the decoder and the trace: the parameters a message can
// carry (how each is coded, where it lives in Message, how it reads in a trace line), and the
// parameter order of every message.

#include "capi/message.h"

#include <array>
#include <cstddef>

namespace capi {

enum class Param : quint8 {
    Controller,
    Plci,
    Ncci,
    Address, // controller, PLCI or NCCI
    Info,
    Cip,
    Reject,
    Reason,
    ReasonB3,
    InfoMask,
    CipMask,
    CipMask2,
    CalledParty,
    CallingParty,
    CalledSubaddress,
    CallingSubaddress,
    ConnectedNumber,
    ConnectedSubaddress,
    BProtocol,
    Bc,
    Llc,
    Hlc,
    AdditionalInfo,
    Ncpi,
    InfoNumber,
    InfoElement,
    FacilitySelector,
    FacilityParameter,
    DataPointer,
    DataLength,
    DataHandle,
    Flags,
    Data64, // optional 64-bit data pointer, last parameter of DATA_B3_REQ/IND
    ManufacturerId,
    ManufacturerData, // the manufacturer-specific part of MANUFACTURER_*, as a struct
};

// How a parameter is coded.
enum class Coding : quint8 {
    Word,
    Dword,
    OptionalQword,  // Message::data64: present or absent at the end of the message
    Struct,         // raw struct bytes in a QByteArray member
    CalledNumber,   // Message::calledParty
    CallingNumber,  // a CallingPartyNumber member (calling or connected number)
    BProtocol,      // Message::bProtocol
    AdditionalInfo, // Message::additionalInfo
};

// How a parameter reads in a trace line: after its label, unless said otherwise.
enum class TraceAs : quint8 {
    Nothing,       // not shown (data pointers)
    Decimal,
    Hex4,          // 0x and at least 4 hex digits
    Hex8,
    Hex4IfSet,     // as Hex4, left out when zero
    Hex8IfSet,
    Address,       // "ctrl N", "plci 0x...." or "ncci 0x........" by the value; no label
    Info,          // words and number
    Reason,        // words and number
    Cip,           // number and words
    Reject,        // number and words
    InfoNumber,    // number and words
    Digits,        // the number's digits in quotes, left out when there are none
    BProtocol,     // protocols and configuration; no label
    Present,       // the label alone, when the parameter is not empty
    Ncpi,          // fax NCPI in words, else bytes; left out when empty
    Bytes,         // up to 16 bytes in hex, left out when empty
};

struct ParamSpec
{
    Param param;
    Coding coding;
    const char *name;  // in decode errors
    TraceAs traceAs;
    const char *label; // in trace lines
    quint16 Message::*word = nullptr;
    quint32 Message::*dword = nullptr;
    QByteArray Message::*bytes = nullptr;
    CallingPartyNumber Message::*number = nullptr;
};

namespace detail {
using P = Param;
using K = Coding;
using T = TraceAs;
using M = Message;
constexpr ParamSpec word(P p, const char *name, T t, const char *label, quint16 M::*member)
{
    return {p, K::Word, name, t, label, member};
}
constexpr ParamSpec dword(P p, const char *name, T t, const char *label, quint32 M::*member)
{
    return {p, K::Dword, name, t, label, nullptr, member};
}
constexpr ParamSpec bytes(P p, const char *name, const char *label, QByteArray M::*member,
                          T t = T::Bytes)
{
    return {p, K::Struct, name, t, label, nullptr, nullptr, member};
}
constexpr ParamSpec other(P p, K k, const char *name, T t, const char *label,
                          CallingPartyNumber M::*number = nullptr)
{
    return {p, k, name, t, label, nullptr, nullptr, nullptr, number};
}
} // namespace detail

// Every parameter, in the order of Param.
inline constexpr ParamSpec kParams[] = {
    detail::dword(Param::Controller, "controller", TraceAs::Decimal, "ctrl", &Message::address),
    detail::dword(Param::Plci, "PLCI", TraceAs::Hex4, "plci", &Message::address),
    detail::dword(Param::Ncci, "NCCI", TraceAs::Hex8, "ncci", &Message::address),
    detail::dword(Param::Address, "controller/PLCI/NCCI", TraceAs::Address, "", &Message::address),
    detail::word(Param::Info, "info", TraceAs::Info, "info", &Message::info),
    detail::word(Param::Cip, "CIP value", TraceAs::Cip, "cip", &Message::cip),
    detail::word(Param::Reject, "reject", TraceAs::Reject, "reject", &Message::reject),
    detail::word(Param::Reason, "reason", TraceAs::Reason, "reason", &Message::reason),
    detail::word(Param::ReasonB3, "reason B3", TraceAs::Reason, "reason B3", &Message::reason),
    detail::dword(Param::InfoMask, "info mask", TraceAs::Hex8, "info mask", &Message::infoMask),
    detail::dword(Param::CipMask, "CIP mask", TraceAs::Hex8, "cip mask", &Message::cipMask),
    detail::dword(Param::CipMask2, "CIP mask 2", TraceAs::Hex8IfSet, "cip mask 2", &Message::cipMask2),
    detail::other(Param::CalledParty, Coding::CalledNumber, "called party number", TraceAs::Digits,
                  "called"),
    detail::other(Param::CallingParty, Coding::CallingNumber, "calling party number",
                  TraceAs::Digits, "calling", &Message::callingParty),
    detail::bytes(Param::CalledSubaddress, "called party subaddress", "called subaddress",
                  &Message::calledSubaddress),
    detail::bytes(Param::CallingSubaddress, "calling party subaddress", "calling subaddress",
                  &Message::callingSubaddress),
    detail::other(Param::ConnectedNumber, Coding::CallingNumber, "connected number",
                  TraceAs::Digits, "connected", &Message::connectedNumber),
    detail::bytes(Param::ConnectedSubaddress, "connected subaddress", "connected subaddress",
                  &Message::connectedSubaddress),
    detail::other(Param::BProtocol, Coding::BProtocol, "B protocol", TraceAs::BProtocol,
                  "B protocol"),
    detail::bytes(Param::Bc, "BC", "bc", &Message::bc),
    detail::bytes(Param::Llc, "LLC", "llc", &Message::llc),
    detail::bytes(Param::Hlc, "HLC", "hlc", &Message::hlc),
    detail::other(Param::AdditionalInfo, Coding::AdditionalInfo, "additional info",
                  TraceAs::Present, "additional info present"),
    detail::bytes(Param::Ncpi, "NCPI", "NCPI", &Message::ncpi, TraceAs::Ncpi),
    detail::word(Param::InfoNumber, "info number", TraceAs::InfoNumber, "info number",
                 &Message::infoNumber),
    detail::bytes(Param::InfoElement, "info element", "element", &Message::infoElement),
    detail::word(Param::FacilitySelector, "facility selector", TraceAs::Decimal, "facility",
                 &Message::facilitySelector),
    detail::bytes(Param::FacilityParameter, "facility parameter", "parameter",
                  &Message::facilityParameter),
    detail::dword(Param::DataPointer, "data pointer", TraceAs::Nothing, "", &Message::dataPointer),
    detail::word(Param::DataLength, "data length", TraceAs::Decimal, "len", &Message::dataLength),
    detail::word(Param::DataHandle, "data handle", TraceAs::Decimal, "handle", &Message::dataHandle),
    detail::word(Param::Flags, "flags", TraceAs::Hex4IfSet, "flags", &Message::flags),
    detail::other(Param::Data64, Coding::OptionalQword, "data64", TraceAs::Nothing, ""),
    detail::dword(Param::ManufacturerId, "manufacturer id", TraceAs::Hex8, "manufacturer",
                  &Message::manufacturerId),
    detail::bytes(Param::ManufacturerData, "manufacturer-specific", "data",
                  &Message::manufacturerData),
};

constexpr bool paramsInOrder()
{
    for (std::size_t i = 0; i < std::size(kParams); ++i) {
        const ParamSpec &p = kParams[i];
        if (p.param != Param(i))
            return false;
        // Exactly the member its coding needs.
        const int members = (p.word != nullptr) + (p.dword != nullptr) + (p.bytes != nullptr) +
                            (p.number != nullptr);
        const bool needs = p.coding == Coding::Word || p.coding == Coding::Dword ||
                           p.coding == Coding::Struct || p.coding == Coding::CallingNumber;
        if (members != (needs ? 1 : 0) || (p.coding == Coding::Word) != (p.word != nullptr) ||
            (p.coding == Coding::Dword) != (p.dword != nullptr) ||
            (p.coding == Coding::Struct) != (p.bytes != nullptr))
            return false;
    }
    return std::size(kParams) == std::size_t(Param::ManufacturerData) + 1;
}
static_assert(paramsInOrder(), "kParams must list every Param once, in order, with its member");

constexpr const ParamSpec &spec(Param p)
{
    return kParams[std::size_t(p)];
}

struct Layout
{
    Command command;
    Subcommand subcommand;
    quint8 count;
    std::array<Param, 12> params;
};

// "CONNECT_B3", "IND"; nullptr for a value that names no command or subcommand.
const char *commandWord(Command c);
const char *subcommandWord(Subcommand s);

// The layout of (c, s), nullptr for a message not in the table. Exported for the benchmarks
// and fuzz targets of the codec.
const Layout *findLayout(Command c, Subcommand s);

} // namespace capi
