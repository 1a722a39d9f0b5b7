// Key strings: a Fernet key for any passphrase, and decryption under an explicitly given key.
#include "cipher.hpp"
#include "traceback.hpp"

namespace kvd {
namespace {

constexpr const char* to_key_name = "kelvaro_duneth.kv_duneth.kv_duneth.string_to_secret_key";

constexpr Signature string_to_secret_key_sig = {
    "string_to_secret_key", to_key_name, source_path, 83, false, 1,
    {{&N.input_string, Kind::text}}, {"salt", "kdf", "key"}};
constexpr Signature secret_key_to_string_sig = {
    "secret_key_to_string", "kelvaro_duneth.kv_duneth.kv_duneth.secret_key_to_string",
    source_path, 94, false, 2,
    {{&N.secret_key, Kind::text}, {&N.encrypted_string, Kind::text}}, {"fernet", "decrypted"}};

PyObject* string_to_secret_key(PyObject*, const Bound& b) {
    static const DerivationSite site{to_key_name, 85, 86, 91};
    Ref key = derive_key(C.key_string_salt, b.arg[0], site);
    if (!key) return nullptr;
    Ref text = decode_bytes(key.get());
    if (!text) return fail_at(to_key_name, source_path, 92);
    return text.release();
}

Ref decrypt_with_key(PyObject* key_text, PyObject* token_text) {
    Ref fernet_class = global(N.Fernet);
    Ref key = fernet_class ? encode_text(key_text) : Ref();
    Ref fernet = key ? call1(fernet_class.get(), key.get()) : Ref();
    Ref token = fernet ? encode_text(token_text) : Ref();
    Ref decrypted = token ? call_method1(fernet.get(), N.decrypt, token.get()) : Ref();
    return decrypted ? decode_bytes(decrypted.get()) : Ref();
}

// Every failure after the type tests gives None, whatever its class.
PyObject* secret_key_to_string(PyObject*, const Bound& b) {
    return none_on_failure(decrypt_with_key(b.arg[0], b.arg[1]));
}

}  // namespace

const Method string_to_secret_key_method = {
    &string_to_secret_key_sig, entry<string_to_secret_key_sig, string_to_secret_key>};
const Method secret_key_to_string_method = {
    &secret_key_to_string_sig, entry<secret_key_to_string_sig, secret_key_to_string>};

}  // namespace kvd
