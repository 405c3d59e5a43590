#include <gtest/gtest.h>

#include <string>

#include "platform/Sha256.h"

namespace nvds {
namespace {

// Test vectors of the standard, plus lengths around the padding boundary (55/56/64 bytes),
// where the length field moves into a second block.
TEST(Sha256, MatchesTheStandardVectors) {
    struct Case {
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
    for (const Case& c : cases) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.input.data());
        EXPECT_EQ(Sha256Hex(bytes, c.input.size()), c.digest) << c.input.size() << " bytes";
    }
}

}  // namespace
}  // namespace nvds
