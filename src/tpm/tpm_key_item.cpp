#include "tpm/tpm_key_item.h"

#include <algorithm>

#include "tpm/tpm_context.h"

namespace quorvane::platform::tpm {
namespace {

constexpr std::size_t kCoordinateSize = 32;

bool isP256DecryptionKey(const TPM2B_PUBLIC& publicPart) {
    const TPMT_PUBLIC& area = publicPart.publicArea;
    return area.type == TPM2_ALG_ECC && area.parameters.eccDetail.curveID == TPM2_ECC_NIST_P256 &&
           (area.objectAttributes & TPMA_OBJECT_DECRYPT) != 0 &&
           (area.objectAttributes & TPMA_OBJECT_RESTRICTED) == 0 &&
           area.unique.ecc.x.size == kCoordinateSize && area.unique.ecc.y.size == kCoordinateSize;
}

}  // namespace

Bytes encodeKeyItem(const TssLibrary& tss, const KeyItem& key) {
    Bytes item(kItemMarker.size() + sizeof(TPM2B_PUBLIC) + sizeof(TPM2B_PRIVATE));
    std::copy(kItemMarker.begin(), kItemMarker.end(), item.begin());
    std::size_t offset = kItemMarker.size();
    if (tss.Tss2_MU_TPM2B_PUBLIC_Marshal(&key.publicPart, item.data(), item.size(), &offset) !=
            TSS2_RC_SUCCESS ||
        tss.Tss2_MU_TPM2B_PRIVATE_Marshal(&key.privatePart, item.data(), item.size(), &offset) !=
            TSS2_RC_SUCCESS) {
        throw TpmFailure("the TPM key cannot be written down");
    }
    item.resize(offset);
    return item;
}

std::optional<KeyItem> decodeKeyItem(const TssLibrary& tss, std::span<const std::uint8_t> item) {
    if (!isKeyItem(item)) return std::nullopt;
    KeyItem key;
    std::size_t offset = kItemMarker.size();
    if (tss.Tss2_MU_TPM2B_PUBLIC_Unmarshal(item.data(), item.size(), &offset, &key.publicPart) !=
            TSS2_RC_SUCCESS ||
        tss.Tss2_MU_TPM2B_PRIVATE_Unmarshal(item.data(), item.size(), &offset, &key.privatePart) !=
            TSS2_RC_SUCCESS ||
        offset != item.size() || !isP256DecryptionKey(key.publicPart)) {
        return std::nullopt;
    }
    return key;
}

std::optional<std::size_t> keyItemSize(const TssLibrary& tss, std::span<const std::uint8_t> bytes) {
    if (!isKeyItem(bytes)) return std::nullopt;
    KeyItem key;
    std::size_t offset = kItemMarker.size();
    if (tss.Tss2_MU_TPM2B_PUBLIC_Unmarshal(bytes.data(), bytes.size(), &offset, &key.publicPart) !=
            TSS2_RC_SUCCESS ||
        tss.Tss2_MU_TPM2B_PRIVATE_Unmarshal(bytes.data(), bytes.size(), &offset,
                                            &key.privatePart) != TSS2_RC_SUCCESS) {
        return std::nullopt;
    }
    return offset;
}

Bytes publicPoint(const KeyItem& key) {
    const TPMS_ECC_POINT& point = key.publicPart.publicArea.unique.ecc;
    Bytes out;
    out.reserve(1 + 2 * kCoordinateSize);
    out.push_back(0x04);
    out.insert(out.end(), point.x.buffer, point.x.buffer + point.x.size);
    out.insert(out.end(), point.y.buffer, point.y.buffer + point.y.size);
    return out;
}

}  // namespace quorvane::platform::tpm
