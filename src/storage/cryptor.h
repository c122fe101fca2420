// The cryptor every table owns: it holds the encryption method and key of the table and makes
// the buffer encryption object that all files of the table encrypt and decrypt through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/exception.h"
#include "storage/encryption.h"

namespace tdb {

// The public method, as stored in the headers of level 5 and 6 tables.
enum TTdbEncryptionMethod : std::uint8_t {
    temDefault = 0,
    temNone = 1,
    temProtection = 2,
    temClassic = 3,
    temFastEncrypt = 4,
    temBlowfish = 5,
    temRijndael = 6
};

// The cryptor's own method; classic encryption differs below and from level 5 on.
enum TdwEncryptionMethod : std::uint8_t {
    emNone = 0,
    emProtection = 1,
    emClassic1 = 2,
    emClassic5 = 3,
    emFast = 4,
    emBlowfish = 5,
    emRijndael = 6
};

// The cryptor's method for a public method at a table level (classic splits at level 5).
TdwEncryptionMethod ToCryptorMethod(TTdbEncryptionMethod method, int tableLevel);
// The public method (the header code) for a cryptor method.
TTdbEncryptionMethod ToPublicMethod(TdwEncryptionMethod method);

// A key that lacks what its method needs (a classic key without ";").
class EdwCryptor : public Exception {
public:
    using Exception::Exception;
};

// The method that encrypts nothing: tables without encryption and password-protected ones.
class TTdbNoEncryption : public TTdbEncryption {
public:
    void EncryptBlock(std::span<std::byte>) override {}
    void DecryptBlock(std::span<std::byte>) override {}
};

class TdwCryptor {
public:
    TdwCryptor() = default;
    TdwCryptor(TdwEncryptionMethod method, std::u16string key);
    TdwCryptor(const TdwCryptor&) = delete;
    TdwCryptor& operator=(const TdwCryptor&) = delete;

    void SetEncryptionMethod(TdwEncryptionMethod method);
    void SetKey(std::u16string key);
    TdwEncryptionMethod GetEncryptionMethod() const noexcept { return FEncryptionMethod; }
    const std::u16string& GetKey() const noexcept { return FKey; }

    // Makes the encryption object; false when a method other than none has an empty key or no
    // object can be made for the method and key.
    bool Initialize();
    // Frees the encryption object.
    void Reset();
    // The object made by Initialize; null before it or after Reset.
    TTdbEncryption* GetEncryption() const noexcept { return FEncryption.get(); }

    // A new, independent object for the method and key; null when none can be made.
    std::unique_ptr<TTdbEncryption> CreateEncryption() const;

    // The table password the key carries: the first 10 characters of a protection key, the
    // upper-cased part before the last ";" (cut to 10) of a classic key; empty otherwise.
    // Raises EdwCryptor "Invalid Key" for a classic key without ";".
    std::u16string GetPassword() const;
    // The key has the classic form password ";" number.
    bool CanBeClassic() const;
    // True when 4000 bytes of the int32 values 0..999 encrypted by this cryptor's object and
    // decrypted by Other come back unchanged. False without an object.
    bool IsCorrectEncryption(const TTdbEncryption& other) const;

    // Through the object made by Initialize; a cryptor without one leaves the data unchanged.
    void EncryptBlock(std::span<std::byte> data) const;
    void DecryptBlock(std::span<std::byte> data) const;

private:
    TdwEncryptionMethod FEncryptionMethod = emNone;
    std::u16string FKey;
    std::unique_ptr<TTdbEncryption> FEncryption;
};

}  // namespace tdb
