#include "EnvUtils.h"
#include "Format.h"
#include "PacketValues.h"
#include "Packets.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

// Packets.h, the text dump of packets and packet lists.

namespace qz {

using namespace packet_detail;

namespace {

std::string QuoteText(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\0' ? ' ' : c;
    }
    out += '\'';
    return out;
}

// Date and time of a day number counted from 1899-12-30; the time is left out at midnight.
std::string DateTimeText(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 3e6) {
        return FloatGeneral4(value);
    }
    auto days = static_cast<std::int64_t>(std::floor(value));
    auto ms = static_cast<std::int64_t>(std::llround((value - static_cast<double>(days)) * 864e5));
    if (ms >= 86400000) {
        ++days;
        ms -= 86400000;
    }
    // 1970-01-01 is day 25569.
    const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{days - 25569}}};
    std::string text = Format("%.4d-%.2d-%.2d", static_cast<int>(date.year()),
                              static_cast<int>(static_cast<unsigned>(date.month())),
                              static_cast<int>(static_cast<unsigned>(date.day())));
    if (ms != 0) {
        std::int64_t s = ms / 1000;
        text += Format(" %.2d:%.2d:%.2d", s / 3600, s / 60 % 60, s % 60);
    }
    return text;
}

// The lines of a text as a string list splits them.
TStringListEx SplitLines(std::string_view text) {
    TStringListEx lines;
    lines.AssignText(text);
    return lines;
}

} // namespace

namespace packet_detail {

// The general floating format with 4 significant digits: plain notation unless the number
// needs more than 4 digits before the point or is below 1E-5, then mantissa "E" exponent.
std::string FloatGeneral4(double value) {
    if (value == 0 || !std::isfinite(value)) {
        return value == 0 ? "0" : (std::isnan(value) ? "NAN" : (value > 0 ? "INF" : "-INF"));
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3e", value);
    std::string sci = buffer;
    std::size_t e = sci.find('e');
    int exponent = std::atoi(sci.c_str() + e + 1);
    auto stripZeros = [](std::string s) {
        if (s.find('.') != std::string::npos) {
            while (!s.empty() && s.back() == '0') {
                s.pop_back();
            }
            if (!s.empty() && s.back() == '.') {
                s.pop_back();
            }
        }
        return s;
    };
    if (exponent >= 4 || std::fabs(value) < 1e-5) {
        return stripZeros(sci.substr(0, e)) + "E" + std::to_string(exponent);
    }
    std::snprintf(buffer, sizeof buffer, "%.*f", std::max(0, 3 - exponent), value);
    return stripZeros(buffer);
}

} // namespace packet_detail

int TPacket::GetFieldText(int index, std::string& text) const {
    if (!m_class->HasField(index)) {
        return 0;
    }
    const TPacketField& f = m_class->Field(index);
    const TValue& v = m_values[static_cast<std::size_t>(index)];
    switch (f.type) {
    case TValueType::Integer:
    case TValueType::Cardinal:
    case TValueType::Int8:
    case TValueType::Word:
    case TValueType::Int64:
    case TValueType::CompactInt:
    case TValueType::Handle:
        text = std::to_string(Interpret(f.type, std::get<vInt>(v)));
        return 1;
    case TValueType::Boolean:
        text = std::get<vInt>(v) != 0 ? "True" : "False";
        return 1;
    case TValueType::DateTime:
        text = DateTimeText(std::get<vDouble>(v));
        return 1;
    case TValueType::String:
        text = QuoteText(std::get<vString>(v));
        return 1;
    case TValueType::WideString:
        text = QuoteText(WideToUtf8(std::get<vWide>(v)));
        return 1;
    case TValueType::Guid:
        text = GuidToText(std::get<vGuid>(v));
        return 1;
    case TValueType::Enum:
    case TValueType::RawEnum:
    case TValueType::Set:
    case TValueType::Record:
        return 0;
    case TValueType::StringList:
        text = std::get<vStrings>(v).ToText();
        return 2;
    case TValueType::PacketList:
        text = std::get<vList>(v)->Text();
        return 2;
    case TValueType::Packet:
    case TValueType::OptionalPacket:
        if (!std::get<vPacket>(v)) {
            text = "(null)";
            return 1;
        }
        text = std::get<vPacket>(v)->DumpText();
        return 2;
    case TValueType::Blob:
        text = Format("(size = %d)", std::get<vBlob>(v)->Size());
        return 1;
    default:
        text.clear();
        return 1;
    }
}

void TPacket::DumpToStrings(TStringListEx& lines) const {
    lines.Add("(" + ClassName() + ")");
    for (int i = 0; i < FieldCount(); ++i) {
        std::string text;
        int result = GetFieldText(i, text);
        std::string head = "  " + FieldName(i) + " = ";
        if (result == 0) {
            lines.Add(head + "(?)");
        } else if (result == 2) {
            lines.Add(head);
            for (const std::string& line : SplitLines(text)) {
                lines.Add("    " + line);
            }
        } else {
            lines.Add(head + text);
        }
    }
}

std::string TPacket::DumpText() const {
    TStringListEx lines;
    DumpToStrings(lines);
    return lines.ToText();
}

std::string TCustomPacketList::Text() const {
    if (IsEmpty()) {
        return "(empty list)";
    }
    TStringListEx lines;
    for (int k = 0; k < Count(); ++k) {
        lines.Add(Format("[%d/%d]", k + 1, Count()));
        m_items[static_cast<std::size_t>(k)]->DumpToStrings(lines);
        lines.Add(std::string());
    }
    return lines.Join(std::string_view("\r\n"));
}

} // namespace qz
