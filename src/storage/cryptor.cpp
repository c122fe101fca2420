// The cryptor of a table: method mapping, password rules and the encryption object it makes.
#include "storage/cryptor.h"

#include <array>
#include <cstring>

#include "base/byte_image.h"
#include "types/collation.h"

namespace tdb {

namespace {

constexpr std::size_t kPasswordLength = 10;

std::size_t LastSemicolon(const std::u16string& key) {
    return key.rfind(u';');
}

}  // namespace

TdwEncryptionMethod ToCryptorMethod(TTdbEncryptionMethod method, int tableLevel) {
    switch (method) {
        case temProtection:
            return emProtection;
        case temClassic:
            return tableLevel < 5 ? emClassic1 : emClassic5;
        case temFastEncrypt:
            return emFast;
        case temBlowfish:
            return emBlowfish;
        case temRijndael:
            return emRijndael;
        case temDefault:
        case temNone:
            break;
    }
    return emNone;
}

TTdbEncryptionMethod ToPublicMethod(TdwEncryptionMethod method) {
    switch (method) {
        case emProtection:
            return temProtection;
        case emClassic1:
        case emClassic5:
            return temClassic;
        case emFast:
            return temFastEncrypt;
        case emBlowfish:
            return temBlowfish;
        case emRijndael:
            return temRijndael;
        case emNone:
            break;
    }
    return temNone;
}

TdwCryptor::TdwCryptor(TdwEncryptionMethod method, std::u16string key)
    : FEncryptionMethod(method), FKey(std::move(key)) {}

void TdwCryptor::SetEncryptionMethod(TdwEncryptionMethod method) {
    if (method != FEncryptionMethod) {
        Reset();
        FEncryptionMethod = method;
    }
}

void TdwCryptor::SetKey(std::u16string key) {
    if (key != FKey) {
        Reset();
        FKey = std::move(key);
    }
}

bool TdwCryptor::Initialize() {
    Reset();
    if (FEncryptionMethod != emNone && FKey.empty())
        return false;
    FEncryption = CreateEncryption();
    return FEncryption != nullptr;
}

void TdwCryptor::Reset() {
    FEncryption.reset();
}

std::unique_ptr<TTdbEncryption> TdwCryptor::CreateEncryption() const {
    switch (FEncryptionMethod) {
        case emNone:
        case emProtection:
            return std::make_unique<TTdbNoEncryption>();
        // The ciphers come with the encryption algorithms; until then they cannot be made.
        case emClassic1:
        case emClassic5:
        case emFast:
        case emBlowfish:
        case emRijndael:
            return nullptr;
    }
    return nullptr;
}

std::u16string TdwCryptor::GetPassword() const {
    switch (FEncryptionMethod) {
        case emProtection:
            return FKey.substr(0, kPasswordLength);
        case emClassic1:
        case emClassic5: {
            const std::size_t pos = LastSemicolon(FKey);
            if (pos == std::u16string::npos)
                throw EdwCryptor(u"Invalid Key");
            return TTdbCollation::BuiltIn().ToUpper(FKey.substr(0, pos)).substr(0, kPasswordLength);
        }
        default:
            return {};
    }
}

bool TdwCryptor::CanBeClassic() const {
    return LastSemicolon(FKey) != std::u16string::npos;
}

bool TdwCryptor::IsCorrectEncryption(const TTdbEncryption& other) const {
    if (!FEncryption)
        return false;
    constexpr int kCount = 1000;
    std::array<std::byte, kCount * 4> plain{};
    for (int i = 0; i < kCount; ++i)
        StoreLE<std::int32_t>(plain.data() + i * 4, i);
    std::array<std::byte, kCount* 4> buffer = plain;
    FEncryption->EncryptBlock(buffer);
    // Decrypting changes only the buffer; the object interface is simply not const.
    const_cast<TTdbEncryption&>(other).DecryptBlock(buffer);
    return std::memcmp(buffer.data(), plain.data(), buffer.size()) == 0;
}

void TdwCryptor::EncryptBlock(std::span<std::byte> data) const {
    if (FEncryption)
        FEncryption->EncryptBlock(data);
}

void TdwCryptor::DecryptBlock(std::span<std::byte> data) const {
    if (FEncryption)
        FEncryption->DecryptBlock(data);
}

}  // namespace tdb
