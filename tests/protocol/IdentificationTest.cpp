#include <gtest/gtest.h>

#include "DecoderFixtures.h"
#include "protocol/Identification.h"
#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

using namespace telvaro::test;

constexpr std::uint64_t Imei = 356173061234567ull;

/// Key rows whose bytes all have the high bit set, so no enciphered ASCII byte is 0.
std::string KeyText(const char* eol = "\n") {
  std::string text;
  for (int r = 0; r < Max_KEY; ++r) {
    for (int i = 0; i < Max_KEY_LEN; ++i) {
      static constexpr char Hex[] = "0123456789abcdef";
      const int b = 0x80 | ((r * 31 + i * 7 + 1) & 0x7F);
      text += Hex[b >> 4];
      text += Hex[b & 0xF];
    }
    text += eol;
  }
  return text;
}

KeyTable Table() { return *ParseKeyTable(KeyText()).table; }

TEST(KeyTableFile, ReadsThirtyRowsOrSaysWhyNot) {
  const KeyTableLoad ok = ParseKeyTable(KeyText("\r\n") + "\n");
  ASSERT_TRUE(ok.table) << ok.reason;
  EXPECT_EQ(ok.table->rows[0][0], 0x81);
  EXPECT_EQ(ok.table->rows[29][9], 0x80 | ((29 * 31 + 9 * 7 + 1) & 0x7F));

  const std::string rows = KeyText();
  const std::string upper = [&] {
    std::string s = rows;
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }();
  EXPECT_TRUE(ParseKeyTable(upper).table);

  struct Case { const char* name; std::string text; const char* reason; };
  const Case bad[] = {
      {"empty", "", "keys.txt holds 0 keys, not 30"},
      {"29 rows", rows.substr(0, 29 * 21), "keys.txt holds 29 keys, not 30"},
      {"31 rows", rows + rows.substr(0, 21), "keys.txt line 31: more than 30 keys"},
      {"short row", "0011\n" + rows, "keys.txt line 1: a key must be 20 hexadecimal digits"},
      {"not hex", rows.substr(0, 21) + "zz" + rows.substr(23), "keys.txt line 2: a key must be 20 hexadecimal digits"},
  };
  for (const Case& c : bad) {
    const KeyTableLoad r = ParseKeyTable(c.text);
    EXPECT_FALSE(r.table) << c.name;
    EXPECT_EQ(r.reason, c.reason) << c.name;
  }
}

TEST(IdentificationParam, CarriesTheKeyWhateverTheRandomPart) {
  for (int key = 0; key < Max_KEY; ++key)
    for (int i = 0; i < 200; ++i) {
      const std::uint16_t p = Make_Param(key);
      ASSERT_TRUE(p & 0x8000);
      ASSERT_EQ(Get_Key(p), key);
    }
}

TEST(IdentificationText, ReverseAndDecipher) {
  const ByteVec bytes{'x', 'a', 0, 'b', 'c', 'y'};
  EXPECT_EQ(GetReverseString(4, 1, bytes), "cba");
  EXPECT_EQ(GetReverseString(50, 4, bytes), "yc");
  EXPECT_EQ(GetReverseString(3, 6, bytes), "");

  const KeyTable t = Table();
  const std::string once = Crypt_Decrypt(t, "Hollowmark!", 3);
  EXPECT_NE(once.substr(0, 10), "Hollowmark");
  EXPECT_EQ(once.back(), '!');  // past the row's ten bytes
  EXPECT_EQ(Crypt_Decrypt(t, once, 3), "Hollowmark!");
  EXPECT_EQ(Crypt_Decrypt(t, "abc", 29), std::string({char('a' ^ t.rows[29][0]), char('b' ^ t.rows[29][1]),
                                                      char('c' ^ t.rows[29][2])}));
  EXPECT_EQ(Crypt_Decrypt(t, "abc", 30), "");
  EXPECT_EQ(Crypt_Decrypt(t, "abc", -1), "");
}

/// A context holding the key table `t`.
ParserContext WithKeys(const KeyTable& t) {
  ParserContext context = Context();
  context.keys = std::make_shared<const KeyTable>(t);
  return context;
}

TEST(IdentificationRequest, QueuedAndTimed) {
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  const TDateTime before = NowLocal();
  parser.IdentifyRequest("123");
  ASSERT_EQ(parser.Commands.size(), 1u);
  EXPECT_GE(parser.IdentSentAt, before);
  const std::string_view frame = parser.Commands[0].WireBytes();
  ASSERT_EQ(frame.size(), 21u);  // 18 bytes of frame around 3 command bytes
  EXPECT_EQ(static_cast<std::uint8_t>(frame[16]), 0x02);
  const auto param = static_cast<std::uint16_t>(static_cast<std::uint8_t>(frame[17]) << 8 |
                                                static_cast<std::uint8_t>(frame[18]));
  EXPECT_TRUE(param & 0x8000);
  EXPECT_EQ(Get_Key(param), parser.Key);
  const ByteVec bytes(frame.begin(), frame.end());
  EXPECT_EQ(bytes, Frame(Payload(0, 4, 1, {0x02, static_cast<std::uint8_t>(param >> 8),
                                           static_cast<std::uint8_t>(param)})));

  parser.IdentSentAt = 0;
  parser.IdentifyRequest("456");
  EXPECT_EQ(parser.Commands.size(), 2u);
  EXPECT_EQ(parser.Commands.back().Rec.UID.view(), "456");
  EXPECT_GT(parser.IdentSentAt, 0);
}

/// An identification answer of `kind` naming key row `k`, carrying `text` as sent.
ByteVec Answer(std::uint8_t kind, int k, const std::string& sent) {
  const std::uint16_t param = static_cast<std::uint16_t>(0x8000 | k << 6 | 0x15);
  ByteVec v{kind};
  PutBE(v, param, 2);
  v.push_back(static_cast<std::uint8_t>(sent.size()));
  for (char c : sent) v.push_back(static_cast<std::uint8_t>(c));
  return v;
}

/// The signature enciphered with row `k` and reversed, as a terminal sends it.
std::string Sent(const KeyTable& t, int k) {
  std::string s = Crypt_Decrypt(t, IdentSignature, k);
  return std::string(s.rbegin(), s.rend());
}

TEST(IdentificationAnswer, AcceptedOnlyForTheOwnKeyAndTheSignature) {
  const KeyTable t = Table();
  struct Case {
    const char* name;
    int keyOffset;  ///< the answer's key row relative to the parser's
    std::function<std::string(const KeyTable&, int key)> text;
    bool withTable;
    std::int32_t event;
  };
  const auto own = [](const KeyTable& t, int key) { return Sent(t, key); };
  const Case cases[] = {
      {"accepted", 0, own, true, evAuthorized},
      {"other_key_row", 1, [](const KeyTable& t, int key) { return Sent(t, key + 1); }, true, evWrongDevice},
      {"zero_byte", 0, [](const KeyTable& t, int key) { std::string s = Sent(t, key); s[4] = 0; return s; },
       true, evWrongDevice},
      {"empty_text", 0, [](const KeyTable&, int) { return std::string(); }, true, evWrongDevice},
      {"longer_text", 0, [](const KeyTable& t, int key) { return std::string("!").append(Sent(t, key)); }, true, evWrongDevice},
      {"no_key_table", 0, own, false, evWrongDevice},
  };
  for (const Case& c : cases) {
    for (std::uint8_t kind : {0x02, 0x04}) {
      const ParserContext context = c.withTable ? WithKeys(t) : Context();
      TParserKrestel parser(context, nullptr, Disk());
      parser.Key = 7;
      parser.IsAuthorized = c.event != evAuthorized;  // the answer must overwrite it
      parser.IdentSentAt = 45000.5;
      const int k = parser.Key + c.keyOffset;
      std::vector<TNTMobile> out;
      ASSERT_EQ(parser.ParseArr(Frame(Payload(Imei, 6, 1, Answer(kind, k, c.text(t, parser.Key)))), out), PACKET_D);
      ASSERT_EQ(out.size(), 1u) << c.name;
      const TRecNTMobile& r = out[0].Rec;
      EXPECT_EQ(r.Event, c.event) << c.name << " kind " << int(kind);
      EXPECT_EQ(r.Param, 0x8000 | k << 6 | 0x15) << c.name;
      EXPECT_EQ(r.EventValue, c.event == evAuthorized ? 0 : k) << c.name;
      EXPECT_EQ(parser.IsAuthorized, c.event == evAuthorized) << c.name;
      EXPECT_EQ(parser.IdentSentAt, 0) << c.name;
    }
  }
}

TEST(IdentificationAnswer, LeavesThePositionOnTheText) {
  const KeyTable t = Table();
  const ParserContext context = WithKeys(t);
  TParserKrestel parser(context, nullptr, Disk());
  TNTMobile m;
  const ByteVec a = Answer(0x02, parser.Key, Sent(t, parser.Key));
  std::size_t pos = 0;
  ASSERT_TRUE(parser.ParseANSWER(pos, a, m));
  EXPECT_EQ(pos, 4u);
  for (std::size_t n = 0; n < a.size(); ++n) {
    pos = 0;
    EXPECT_FALSE(parser.ParseANSWER(pos, ByteVec(a.begin(), a.begin() + static_cast<long>(n)), m)) << n;
  }
}

}  // namespace
}  // namespace telvaro
