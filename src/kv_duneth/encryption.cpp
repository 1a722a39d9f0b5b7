// Text and byte encryption with the object's own cipher; decryption turns every failure into None.
#include "calls.hpp"
#include "cipher.hpp"
#include "traceback.hpp"

namespace kvd {
namespace {

constexpr Signature encrypt_string_sig{
    .site = {"encrypt_string"}, .first_line = 102,
    .params = {{&Names::input_string, Kind::text}}, .locals = {"encrypted"}};
constexpr struct {
    int encrypt = 103;  // taking `encrypt`, encoding and encrypting
    int decode = 104;   // decoding the token
} encrypt_string_lines{};

// Its body lines, 108 and 109, lie inside the catch-all (110), which cannot fail.
constexpr Signature decrypt_string_sig{
    .site = {"decrypt_string"}, .first_line = 106,
    .params = {{&Names::encrypted_string, Kind::text}}, .locals = {"decrypted"}};

constexpr Signature encrypt_data_sig{
    .site = {"encrypt_data"}, .first_line = 113, .params = {{&Names::data, Kind::bytes}}};
constexpr int encrypt_data_line = 114;

// Its body line, 118, lies inside the catch-all (119).
constexpr Signature decrypt_data_sig{
    .site = {"decrypt_data"}, .first_line = 116,
    .params = {{&Names::encrypted_data, Kind::bytes}}};

PyObject* encrypt_string(PyObject* self, const Bound& b) {
    Ref cipher = fernet_of(self);
    Ref encrypt = getattr(cipher.get(), names.encrypt);
    Ref plain = encrypt ? encode_text(b.arg[0]) : Ref();
    Ref encrypted = plain ? call1(encrypt.get(), plain.get()) : Ref();
    if (!encrypted) return fail_at(encrypt_string_sig.site, encrypt_string_lines.encrypt);
    Ref token = decode_bytes(encrypted.get());
    if (!token) return fail_at(encrypt_string_sig.site, encrypt_string_lines.decode);
    return token.release();
}

Ref decrypt_text(PyObject* self, PyObject* token_text) {
    Ref cipher = fernet_of(self);
    Ref decrypt = getattr(cipher.get(), names.decrypt);
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
    Ref token = call_method1(cipher.get(), names.encrypt, b.arg[0]);
    if (!token) return fail_at(encrypt_data_sig.site, encrypt_data_line);
    return token.release();
}

PyObject* decrypt_data(PyObject* self, const Bound& b) {
    Ref cipher = fernet_of(self);
    return none_on_failure(call_method1(cipher.get(), names.decrypt, b.arg[0]));
}

}  // namespace

KVD_METHOD(encrypt_string)
KVD_METHOD(decrypt_string)
KVD_METHOD(encrypt_data)
KVD_METHOD(decrypt_data)

}  // namespace kvd
