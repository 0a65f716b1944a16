// The tee's encoding fallback: whatever bytes the server prints, every
// console that can take ASCII gets the text exactly once, and nothing
// escapes a write except the one documented case (a target that refuses
// even the ASCII text).
//
// Input: the last byte picks the targets (or, at 0xFF, the refusing
// target); the rest is the text written.

#include "output/encoding.h"
#include "output/log_streams.h"

#include <cstdlib>
#include <iostream>
#include <system_error>

using namespace quillo::output;

namespace {

[[noreturn]] void fail(const std::string& what, std::string_view text) {
    std::cerr << "tee stream: " << what << " (text \"" << text << "\")\n";
    std::abort();
}

// Converts like a console file descriptor, into memory.
class MemorySink : public TextSink {
  public:
    enum class Behaviour { Converts, AsciiOnlyUnnamed, Broken, RefusesAll };

    MemorySink(std::optional<std::string> encoding, Behaviour behaviour = Behaviour::Converts)
        : encoding_(std::move(encoding)), behaviour_(behaviour) {}

    void write(std::string_view utf8) override {
        switch (behaviour_) {
        case Behaviour::Broken:
            throw std::system_error(EPIPE, std::generic_category(), "write");
        case Behaviour::RefusesAll:
            throw EncodingError("'nothing' codec can't encode anything");
        case Behaviour::AsciiOnlyUnnamed:
            for (char c : utf8) {
                if (static_cast<unsigned char>(c) >= 0x80) {
                    throw EncodingError("'ascii' codec can't encode a character");
                }
            }
            bytes.append(utf8);
            break;
        case Behaviour::Converts:
            bytes.append(is_utf8_name(*encoding_) ? std::string(utf8)
                                                  : encode_strict(utf8, *encoding_));
            break;
        }
        ++writes;
    }
    void flush() override {
        if (behaviour_ == Behaviour::Broken) {
            throw std::system_error(EPIPE, std::generic_category(), "flush");
        }
    }
    std::optional<std::string> encoding() const override { return encoding_; }

    std::string bytes;
    int writes = 0;

  private:
    std::optional<std::string> encoding_;
    Behaviour behaviour_;
};

bool is_ascii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    unsigned pick = data[size - 1];
    std::string_view text(reinterpret_cast<const char*>(data), size - 1);
    std::vector<std::string> lines;
    LogFunction log = [&](std::string_view line) { lines.emplace_back(line); };

    if (pick == 0xFF) {
        MemorySink console("utf-8");
        MemorySink refusing("ascii", MemorySink::Behaviour::RefusesAll);
        TeeStream tee({&console, &refusing}, log);
        try {
            tee.write(text);
        } catch (const EncodingError&) {
            if (console.bytes != text) {
                fail("the target before the refusing one lost the text", text);
            }
            return 0;
        }
        fail("a target that refuses even ASCII went unnoticed", text);
    }

    // An encoding iconv does not know fails the first write with another
    // error than an encoding error: the text is then dropped for that target
    // alone, as it is for a broken one.
    using B = MemorySink::Behaviour;
    struct Target {
        MemorySink sink;
        bool gets_text;
    } all[] = {{{"ASCII"}, true},
               {{"ISO-8859-1"}, true},
               {{"GBK"}, true},
               {{"UTF-8"}, true},
               {{""}, true}, // the locale's, which the fallback reads as UTF-8
               {{std::nullopt, B::AsciiOnlyUnnamed}, true},
               {{"x-no-such-encoding"}, false},
               {{"utf-8", B::Broken}, false}};
    std::vector<TextSink*> targets;
    for (size_t i = 0; i < std::size(all); ++i) {
        if (pick & (1u << i)) {
            targets.push_back(&all[i].sink);
        }
    }
    TeeStream tee(targets, log);
    tee.write(text); // anything thrown here is a finding
    tee.flush();

    for (size_t i = 0; i < std::size(all); ++i) {
        const MemorySink& sink = all[i].sink;
        bool gets_text = all[i].gets_text && (pick & (1u << i));
        if (sink.writes != (gets_text ? 1 : 0)) {
            fail("target " + std::to_string(i) + " got " + std::to_string(sink.writes) + " writes",
                 text);
        }
        if (gets_text && is_ascii(text) && sink.bytes != text) {
            fail("target " + std::to_string(i) + " changed ASCII text into \"" + sink.bytes + "\"",
                 text);
        }
    }
    if ((pick & (1u << 3)) && all[3].sink.bytes != text) {
        fail("the UTF-8 target did not get the bytes as they are", text);
    }
    if (lines.size() != 1 || lines[0] != without_final_line_feeds(text)) {
        fail("the log did not get the text once", text);
    }
    return 0;
}
