// BdPeerIdentity: who a peer has proven to be with a certificate the TLS handshake verified.
//
// The certificate names the one UUID its holder may use and the kinds it may act as:
//   UUID   a subjectAltName URI "urn:uuid:<uuid>", or else the subject's commonName. Two
//          different candidates of the same sort leave the UUID empty, which matches no claim.
//   kinds  one subject organizationalUnitName per kind: "agent", "module-server",
//          "server-platform", "web". Other units are ignored.
// A peer without a certificate has no proven identity and is held to nothing.
//
// A plain value; any thread.
#ifndef BD_NETFRAMWORK_BD_PEER_IDENTITY_H
#define BD_NETFRAMWORK_BD_PEER_IDENTITY_H

#include <string>

#include <openssl/x509.h>

struct BdPeerIdentity {
    // Kinds as bits, so a certificate may allow several.
    enum Kind : unsigned {
        kAgent = 1u << 0,
        kModuleServer = 1u << 1,
        kServerPlatform = 1u << 2,
        kWeb = 1u << 3,
    };

    bool proven = false;
    std::string uuid;
    unsigned kinds = 0;

    // What the certificate says; an unproven identity for a null certificate.
    static BdPeerIdentity FromCertificate(X509 *certificate);
    // The kind a handshake of message_level2_type level2Type claims (kBdHandShake...); 0 for an
    // unknown one, which no certificate allows.
    static unsigned KindOfHandShake(int level2Type);
    // The organizational unit name of one kind bit, as written in certificates.
    static const char *KindName(unsigned kind);

    // True when the identity is unproven (nothing to hold the peer to) or names uuid and kind.
    bool Permits(const std::string &claimedUuid, unsigned kind) const {
        return !proven || (!uuid.empty() && uuid == claimedUuid && (kinds & kind) != 0);
    }
    // "uuid (kind,kind)" for log entries.
    std::string Describe() const;
};

#endif  // BD_NETFRAMWORK_BD_PEER_IDENTITY_H
