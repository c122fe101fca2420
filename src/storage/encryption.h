// The buffer encryption a table's files share: length-preserving and in place, so a record or a
// page is encrypted where it lies. The methods and their keys are made by the table's cryptor.
#pragma once

#include <cstddef>
#include <span>

namespace tdb {

class TTdbEncryption {
public:
    virtual ~TTdbEncryption() = default;

    // Both work on buffers of any size and leave the length unchanged.
    virtual void EncryptBlock(std::span<std::byte> data) = 0;
    virtual void DecryptBlock(std::span<std::byte> data) = 0;
};

}  // namespace tdb
