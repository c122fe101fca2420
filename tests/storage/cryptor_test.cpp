// The table cryptor: method mapping both ways, password rules, and the methods whose ciphers are
// not there yet being refused cleanly.
#include "storage/cryptor.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>

namespace tdb {
namespace {

TEST(CryptorTest, MapsPublicMethodsToCryptorMethodsByLevel) {
    struct Case {
        TTdbEncryptionMethod method;
        int level;
        TdwEncryptionMethod expected;
    };
    const Case cases[] = {
        {temDefault, 6, emNone},     {temNone, 6, emNone},         {temProtection, 6, emProtection},
        {temClassic, 4, emClassic1}, {temClassic, 5, emClassic5},  {temClassic, 6, emClassic5},
        {temFastEncrypt, 6, emFast}, {temBlowfish, 6, emBlowfish}, {temRijndael, 6, emRijndael},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ToCryptorMethod(c.method, c.level), c.expected)
            << int(c.method) << "@" << c.level;

    EXPECT_EQ(ToPublicMethod(emNone), temNone);
    EXPECT_EQ(ToPublicMethod(emProtection), temProtection);
    EXPECT_EQ(ToPublicMethod(emClassic1), temClassic);
    EXPECT_EQ(ToPublicMethod(emClassic5), temClassic);
    EXPECT_EQ(ToPublicMethod(emFast), temFastEncrypt);
    EXPECT_EQ(ToPublicMethod(emBlowfish), temBlowfish);
    EXPECT_EQ(ToPublicMethod(emRijndael), temRijndael);
}

TEST(CryptorTest, PasswordsFollowTheMethod) {
    EXPECT_EQ(TdwCryptor(emProtection, u"abcdefghijKLMN").GetPassword(), u"abcdefghij");
    EXPECT_EQ(TdwCryptor(emClassic1, u"geheim;12;345").GetPassword(), u"GEHEIM;12");
    EXPECT_EQ(TdwCryptor(emClassic5, u"averylongpassword;7").GetPassword(), u"AVERYLONGP");
    EXPECT_EQ(TdwCryptor(emFast, u"phrase").GetPassword(), u"");
    EXPECT_EQ(TdwCryptor(emRijndael, u"phrase;1").GetPassword(), u"");
    EXPECT_EQ(TdwCryptor(emNone, u"x").GetPassword(), u"");
    try {
        TdwCryptor(emClassic5, u"nosemicolon").GetPassword();
        FAIL() << "a classic key without \";\" has no password";
    } catch (const EdwCryptor& e) {
        EXPECT_EQ(e.Message(), u"Invalid Key");
    }
    EXPECT_TRUE(TdwCryptor(emNone, u"a;b").CanBeClassic());
    EXPECT_FALSE(TdwCryptor(emNone, u"ab").CanBeClassic());
}

TEST(CryptorTest, NoneAndProtectionMakeObjectsThatLeaveBuffersAlone) {
    for (TdwEncryptionMethod method : {emNone, emProtection}) {
        TdwCryptor cryptor(method, method == emNone ? u"" : u"pw");
        ASSERT_TRUE(cryptor.Initialize());
        ASSERT_NE(cryptor.GetEncryption(), nullptr);
        std::array<std::byte, 5> data{std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4},
                                      std::byte{5}};
        const auto plain = data;
        cryptor.EncryptBlock(data);
        EXPECT_EQ(data, plain);
        cryptor.DecryptBlock(data);
        EXPECT_EQ(data, plain);
        auto other = cryptor.CreateEncryption();
        ASSERT_NE(other, nullptr);
        EXPECT_TRUE(cryptor.IsCorrectEncryption(*other));
        cryptor.Reset();
        EXPECT_EQ(cryptor.GetEncryption(), nullptr);
        EXPECT_FALSE(cryptor.IsCorrectEncryption(*other));
    }
}

TEST(CryptorTest, RefusesEmptyKeysAndCiphersThatAreNotBuilt) {
    EXPECT_FALSE(TdwCryptor(emProtection, u"").Initialize());
    for (TdwEncryptionMethod method : {emClassic1, emClassic5, emFast, emBlowfish, emRijndael}) {
        TdwCryptor cryptor(method, u"secret;42");
        EXPECT_EQ(cryptor.CreateEncryption(), nullptr) << int(method);
        EXPECT_FALSE(cryptor.Initialize()) << int(method);
        EXPECT_EQ(cryptor.GetEncryption(), nullptr);
    }
}

TEST(CryptorTest, ChangingMethodOrKeyDropsTheObject) {
    TdwCryptor cryptor(emProtection, u"pw");
    ASSERT_TRUE(cryptor.Initialize());
    cryptor.SetKey(u"other");
    EXPECT_EQ(cryptor.GetEncryption(), nullptr);
    ASSERT_TRUE(cryptor.Initialize());
    cryptor.SetEncryptionMethod(emNone);
    EXPECT_EQ(cryptor.GetEncryption(), nullptr);
}

}  // namespace
}  // namespace tdb
