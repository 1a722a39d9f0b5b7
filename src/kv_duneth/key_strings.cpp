// Key strings: a Fernet key for any passphrase, and decryption under an explicitly given key.
#include "calls.hpp"
#include "cipher.hpp"
#include "traceback.hpp"

namespace kvd {
namespace {

constexpr Signature string_to_secret_key_sig{
    .site = {"string_to_secret_key"}, .first_line = 83,
    .params = {{&Names::input_string, Kind::text}}, .locals = {"salt", "kdf", "key"}};
// Making `kdf` (86: its hashes.SHA256() argument), deriving and encoding `key`, decoding it.
constexpr DerivationLines string_to_secret_key_lines{.kdf = 85, .hash = 86, .key = 91};
constexpr int decode_key_line = 92;

// Its body lines, 96 to 98, lie inside the catch-all (99).
constexpr Signature secret_key_to_string_sig{
    .site = {"secret_key_to_string"}, .first_line = 94,
    .params = {{&Names::secret_key, Kind::text}, {&Names::encrypted_string, Kind::text}},
    .locals = {"fernet", "decrypted"}};

PyObject* string_to_secret_key(PyObject*, const Bound& b) {
    Ref key = derive_key(constants.key_string_salt, b.arg[0], string_to_secret_key_sig.site,
                         string_to_secret_key_lines);
    if (!key) return nullptr;
    Ref text = decode_bytes(key.get());
    if (!text) return fail_at(string_to_secret_key_sig.site, decode_key_line);
    return text.release();
}

Ref decrypt_with_key(PyObject* key_text, PyObject* token_text) {
    Ref fernet_class = global(names.Fernet);
    Ref key = fernet_class ? encode_text(key_text) : Ref();
    Ref fernet = key ? call1(fernet_class.get(), key.get()) : Ref();
    Ref token = fernet ? encode_text(token_text) : Ref();
    Ref decrypted = token ? call_method1(fernet.get(), names.decrypt, token.get()) : Ref();
    return decrypted ? decode_bytes(decrypted.get()) : Ref();
}

// Every failure after the type tests gives None, whatever its class.
PyObject* secret_key_to_string(PyObject*, const Bound& b) {
    return none_on_failure(decrypt_with_key(b.arg[0], b.arg[1]));
}

}  // namespace

KVD_METHOD(string_to_secret_key)
KVD_METHOD(secret_key_to_string)

}  // namespace kvd
