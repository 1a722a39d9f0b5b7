// Text and byte encryption with the object's own cipher; decryption turns every failure into None.
#include "cipher.hpp"
#include "traceback.hpp"

namespace kvd {
namespace {

constexpr const char* encrypt_string_name = "kelvaro_duneth.kv_duneth.kv_duneth.encrypt_string";
constexpr const char* encrypt_data_name = "kelvaro_duneth.kv_duneth.kv_duneth.encrypt_data";

constexpr Signature encrypt_string_sig = {"encrypt_string", encrypt_string_name, source_path, 102,
                                      false, 1, {{&N.input_string, Kind::text}}, {"encrypted"}};
constexpr Signature decrypt_string_sig = {"decrypt_string",
                                      "kelvaro_duneth.kv_duneth.kv_duneth.decrypt_string",
                                      source_path, 106, false, 1,
                                      {{&N.encrypted_string, Kind::text}}, {"decrypted"}};
constexpr Signature encrypt_data_sig = {"encrypt_data", encrypt_data_name, source_path, 113, false, 1,
                                    {{&N.data, Kind::bytes}}, {}};
constexpr Signature decrypt_data_sig = {"decrypt_data",
                                    "kelvaro_duneth.kv_duneth.kv_duneth.decrypt_data", source_path,
                                    116, false, 1, {{&N.encrypted_data, Kind::bytes}}, {}};

PyObject* encrypt_string(PyObject* self, const Bound& b) {
    Ref cipher = fernet_of(self);
    Ref encrypt = getattr(cipher.get(), N.encrypt);
    Ref plain = encrypt ? encode_text(b.arg[0]) : Ref();
    Ref encrypted = plain ? call1(encrypt.get(), plain.get()) : Ref();
    if (!encrypted) return fail_at(encrypt_string_name, source_path, 103);
    Ref token = decode_bytes(encrypted.get());
    if (!token) return fail_at(encrypt_string_name, source_path, 104);
    return token.release();
}

Ref decrypt_text(PyObject* self, PyObject* token_text) {
    Ref cipher = fernet_of(self);
    Ref decrypt = getattr(cipher.get(), N.decrypt);
    Ref token = decrypt ? encode_text(token_text) : Ref();
    Ref decrypted = token ? call1(decrypt.get(), token.get()) : Ref();
    return decrypted ? decode_bytes(decrypted.get()) : Ref();
}

PyObject* decrypt_string(PyObject* self, const Bound& b) {
    return none_on_failure(decrypt_text(self, b.arg[0]));
}

// The byte methods call the cipher's method directly, without a bound-method object.
PyObject* encrypt_data(PyObject* self, const Bound& b) {
    Ref cipher = fernet_of(self);
    Ref token = call_method1(cipher.get(), N.encrypt, b.arg[0]);
    if (!token) return fail_at(encrypt_data_name, source_path, 114);
    return token.release();
}

PyObject* decrypt_data(PyObject* self, const Bound& b) {
    Ref cipher = fernet_of(self);
    return none_on_failure(call_method1(cipher.get(), N.decrypt, b.arg[0]));
}

}  // namespace

const Method encrypt_string_method = {&encrypt_string_sig,
                                      entry<encrypt_string_sig, encrypt_string>};
const Method decrypt_string_method = {&decrypt_string_sig,
                                      entry<decrypt_string_sig, decrypt_string>};
const Method encrypt_data_method = {&encrypt_data_sig, entry<encrypt_data_sig, encrypt_data>};
const Method decrypt_data_method = {&decrypt_data_sig, entry<decrypt_data_sig, decrypt_data>};

}  // namespace kvd
