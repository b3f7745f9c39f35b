#include "bd_netframwork/bd_peer_identity.h"

#include <strings.h>

#include <cstring>

#include <openssl/x509v3.h>

#include "bd_netframwork/bd_packet.h"

namespace {

const char kUuidUrn[] = "urn:uuid:";

struct KindEntry {
    unsigned kind;
    const char *name;
};
const KindEntry kKinds[] = {
    {BdPeerIdentity::kAgent, "agent"},
    {BdPeerIdentity::kModuleServer, "module-server"},
    {BdPeerIdentity::kServerPlatform, "server-platform"},
    {BdPeerIdentity::kWeb, "web"},
};

// The text of an ASN.1 string; false for one that cannot be converted or hides a NUL, which
// could make two different names compare equal.
bool Text(const ASN1_STRING *value, std::string *text) {
    unsigned char *utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) {
        return false;
    }
    const bool clean = std::memchr(utf8, 0, static_cast<size_t>(length)) == nullptr;
    if (clean) {
        text->assign(reinterpret_cast<char *>(utf8), static_cast<size_t>(length));
    }
    OPENSSL_free(utf8);
    return clean;
}

// Takes one more candidate for the UUID; a second, different one spoils it.
void Offer(const std::string &candidate, bool *seen, std::string *uuid, bool *ambiguous) {
    if (*seen && candidate != *uuid) {
        *ambiguous = true;
    }
    *seen = true;
    *uuid = candidate;
}

std::string UuidFromSubjectAltName(X509 *certificate, bool *found) {
    std::string uuid;
    bool ambiguous = false;
    auto *names = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(names, i);
        std::string uri;
        if (name->type != GEN_URI || !Text(name->d.uniformResourceIdentifier, &uri)) {
            continue;
        }
        // URN scheme and namespace are case-insensitive.
        if (uri.size() > sizeof(kUuidUrn) - 1 &&
            strncasecmp(uri.c_str(), kUuidUrn, sizeof(kUuidUrn) - 1) == 0) {
            Offer(uri.substr(sizeof(kUuidUrn) - 1), found, &uuid, &ambiguous);
        }
    }
    GENERAL_NAMES_free(names);
    return ambiguous ? std::string() : uuid;
}

// Every value of one subject attribute.
template <typename Visit>
void ForEachSubjectEntry(X509 *certificate, int nid, Visit visit) {
    X509_NAME *subject = X509_get_subject_name(certificate);
    for (int i = X509_NAME_get_index_by_NID(subject, nid, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, nid, i)) {
        std::string text;
        if (Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i)), &text)) {
            visit(text);
        }
    }
}

}  // namespace

BdPeerIdentity BdPeerIdentity::FromCertificate(X509 *certificate) {
    BdPeerIdentity identity;
    if (certificate == nullptr) {
        return identity;
    }
    identity.proven = true;
    bool found = false;
    identity.uuid = UuidFromSubjectAltName(certificate, &found);
    if (!found) {
        bool seen = false;
        bool ambiguous = false;
        ForEachSubjectEntry(certificate, NID_commonName, [&](const std::string &name) {
            Offer(name, &seen, &identity.uuid, &ambiguous);
        });
        if (ambiguous) {
            identity.uuid.clear();
        }
    }
    ForEachSubjectEntry(certificate, NID_organizationalUnitName, [&](const std::string &unit) {
        for (const KindEntry &entry : kKinds) {
            if (unit == entry.name) {
                identity.kinds |= entry.kind;
            }
        }
    });
    return identity;
}

unsigned BdPeerIdentity::KindOfHandShake(int level2Type) {
    switch (level2Type) {
        case kBdHandShakeClient:
            return kAgent;
        case kBdHandShakeModuleServer:
            return kModuleServer;
        case kBdHandShakeServerPlatform:
            return kServerPlatform;
        default:
            return 0;
    }
}

const char *BdPeerIdentity::KindName(unsigned kind) {
    for (const KindEntry &entry : kKinds) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "unknown";
}

std::string BdPeerIdentity::Describe() const {
    std::string kindList;
    for (const KindEntry &entry : kKinds) {
        if ((kinds & entry.kind) != 0) {
            kindList += (kindList.empty() ? "" : ",") + std::string(entry.name);
        }
    }
    return uuid + " (" + kindList + ")";
}
