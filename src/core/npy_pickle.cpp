#include "npy_pickle.hpp"

#include <deque>
#include <unordered_map>
#include <vector>

namespace ql::npy {
namespace {

// A value on the interpreter's stack. Only the types NumPy's writer needs exist.
struct Value {
    enum class Type { None, Bool, Int, Float, Str, Bytes, Tuple, List, Global, Dtype, Array };
    Type type = Type::None;
    int64_t number = 0;          // Bool, Int; Array: number of elements once built
    std::string text;            // Str (UTF-8 as stored), Bytes, Global ("module.name")
    std::vector<Value *> items;  // Tuple, List
    const Value *list = nullptr; // Array: the list of its elements (shared, never copied)
    size_t ndim = 0;             // Array
    bool built = false;          // Dtype, Array: their state has been set
};

const char *type_name(const Value &v) {
    switch (v.type) {
        case Value::Type::None: return "NoneType";
        case Value::Type::Bool: return "bool";
        case Value::Type::Int: return "int";
        case Value::Type::Float: return "float";
        case Value::Type::Str: return "str";
        case Value::Type::Bytes: return "bytes";
        case Value::Type::Tuple: return "tuple";
        case Value::Type::List: return "list";
        case Value::Type::Global: return "global";
        case Value::Type::Dtype: return "dtype";
        case Value::Type::Array: return "ndarray";
    }
    return "object";
}

const char *const kAllowedGlobals[] = {"numpy._core.multiarray._reconstruct", "numpy.core.multiarray._reconstruct",
                                       "numpy.ndarray", "numpy.dtype", "_codecs.encode"};

[[noreturn]] void unsafe(const std::string &why) { throw FormatError("cannot be loaded safely: " + why); }

// UTF-8 as pickle writes str objects (lone surrogates pass, as with 'surrogatepass').
// Appends to `out`; false when the bytes are not such UTF-8.
bool decode_utf8(const std::string &bytes, std::u32string &out) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        const unsigned c = p[i];
        size_t extra;
        char32_t cp;
        unsigned lo = 0x80, hi = 0xBF;
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2, cp = c & 0x0F;
            if (c == 0xE0) lo = 0xA0;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3, cp = c & 0x07;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + extra >= n) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned b = p[i + k];
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        out.push_back(cp);
        i += extra + 1;
    }
    return true;
}

class Interpreter {
public:
    explicit Interpreter(const std::string &pickle) : p_(pickle) {
        true_.type = false_.type = Value::Type::Bool;
        true_.number = 1;
        empty_tuple_.type = Value::Type::Tuple;
    }

    // Runs the pickle to its STOP opcode and returns the one value it leaves.
    const Value &run() {
        if (peek_byte() != 0x80) unsafe("not a pickle of protocol 2 or later");
        while (true) {
            const size_t at = pos_;
            const unsigned char op = byte();
            if (op == '.') break;
            step(op, at);
        }
        if (stack_.size() != 1 || !marks_.empty()) unsafe("the pickle leaves an unbalanced stack");
        return *stack_.back();
    }

private:
    const std::string &p_;
    size_t pos_ = 0;
    std::deque<Value> arena_;  // every value, freed together
    std::vector<Value *> stack_;
    std::vector<size_t> marks_;
    std::unordered_map<uint64_t, Value *> memo_;
    Value none_, true_, false_, empty_tuple_;  // shared: none of them ever changes

    unsigned char peek_byte() const { return pos_ < p_.size() ? static_cast<unsigned char>(p_[pos_]) : 0; }
    void need(uint64_t n) {
        if (n > p_.size() - pos_) unsafe("the pickle ends early");
    }
    unsigned char byte() {
        need(1);
        return static_cast<unsigned char>(p_[pos_++]);
    }
    uint64_t little(size_t n) {
        need(n);
        uint64_t v = 0;
        for (size_t k = 0; k < n; ++k) v |= uint64_t(static_cast<unsigned char>(p_[pos_ + k])) << (8 * k);
        pos_ += n;
        return v;
    }
    std::string take(uint64_t n) {
        need(n);
        std::string out = p_.substr(pos_, size_t(n));
        pos_ += size_t(n);
        return out;
    }
    std::string line() {
        const size_t end = p_.find('\n', pos_);
        if (end == std::string::npos) unsafe("the pickle ends early");
        std::string out = p_.substr(pos_, end - pos_);
        pos_ = end + 1;
        return out;
    }

    Value *make(Value::Type type) {
        arena_.emplace_back();
        arena_.back().type = type;
        return &arena_.back();
    }
    Value *make_int(int64_t v) {
        Value *x = make(Value::Type::Int);
        x->number = v;
        return x;
    }
    Value *make_text(Value::Type type, std::string text) {
        Value *x = make(type);
        x->text = std::move(text);
        return x;
    }
    void push(Value *v) { stack_.push_back(v); }
    Value *pop() {
        if (stack_.empty() || (!marks_.empty() && stack_.size() == marks_.back()))
            unsafe("the pickle's stack underflows");
        Value *v = stack_.back();
        stack_.pop_back();
        return v;
    }
    Value *top() {
        if (stack_.empty()) unsafe("the pickle's stack underflows");
        return stack_.back();
    }
    // The values above the last mark, removed from the stack with the mark.
    std::vector<Value *> pop_to_mark() {
        if (marks_.empty()) unsafe("the pickle has no mark to return to");
        const size_t mark = marks_.back();
        marks_.pop_back();
        std::vector<Value *> items(stack_.begin() + long(mark), stack_.end());
        stack_.resize(mark);
        return items;
    }
    Value *tuple_of(std::vector<Value *> items) {
        Value *t = make(Value::Type::Tuple);
        t->items = std::move(items);
        return t;
    }
    Value *global(const std::string &module, const std::string &name) {
        const std::string full = module + "." + name;
        for (const char *allowed : kAllowedGlobals)
            if (full == allowed) return make_text(Value::Type::Global, full);
        unsafe("global '" + printable(full) + "' is not allowed");
    }
    void memoize(uint64_t index) { memo_[index] = top(); }
    Value *recall(uint64_t index) {
        auto it = memo_.find(index);
        if (it == memo_.end()) unsafe("the pickle refers to a value it never stored");
        return it->second;
    }

    void step(unsigned char op, size_t at) {
        switch (op) {
            case 0x80: {  // PROTO
                const unsigned version = byte();
                if (at != 0 || version < 2 || version > 5) unsafe("not a pickle of protocol 2 or later");
                break;
            }
            case 0x95: need(little(8)); break;  // FRAME: a buffering hint; its bytes follow in line
            case 'c': {                         // GLOBAL
                std::string module = line();
                push(global(module, line()));
                break;
            }
            case 0x93: {  // STACK_GLOBAL
                Value *name = pop(), *module = pop();
                if (name->type != Value::Type::Str || module->type != Value::Type::Str)
                    unsafe("the pickle names a global by a non-string");
                push(global(module->text, name->text));
                break;
            }
            case 0x94: memoize(memo_.size()); break;  // MEMOIZE
            case 'q': memoize(byte()); break;         // BINPUT
            case 'r': memoize(little(4)); break;      // LONG_BINPUT
            case 'h': push(recall(byte())); break;    // BINGET
            case 'j': push(recall(little(4))); break; // LONG_BINGET
            case '(': marks_.push_back(stack_.size()); break;
            case ')': push(&empty_tuple_); break;
            case 0x85: case 0x86: case 0x87: {  // TUPLE1, TUPLE2, TUPLE3
                std::vector<Value *> items(size_t(op - 0x84));
                for (size_t k = items.size(); k-- > 0;) items[k] = pop();
                push(tuple_of(std::move(items)));
                break;
            }
            case 't': push(tuple_of(pop_to_mark())); break;
            case ']': push(make(Value::Type::List)); break;
            case 'a': {  // APPEND
                Value *item = pop();
                list_below()->items.push_back(item);
                break;
            }
            case 'e': {  // APPENDS
                std::vector<Value *> items = pop_to_mark();
                Value *list = list_below();
                list->items.insert(list->items.end(), items.begin(), items.end());
                break;
            }
            case 'N': push(&none_); break;
            case 0x88: push(&true_); break;
            case 0x89: push(&false_); break;
            case 'K': push(make_int(int64_t(byte()))); break;                       // BININT1
            case 'M': push(make_int(int64_t(little(2)))); break;                    // BININT2
            case 'J': push(make_int(int64_t(int32_t(uint32_t(little(4)))))); break;  // BININT
            case 'G':  // BINFLOAT: only ever an item of the wrong type
                little(8);
                push(make(Value::Type::Float));
                break;
            case 0x8c: push(make_text(Value::Type::Str, take(byte()))); break;      // SHORT_BINUNICODE
            case 'X': push(make_text(Value::Type::Str, take(little(4)))); break;    // BINUNICODE
            case 0x8d: push(make_text(Value::Type::Str, take(little(8)))); break;   // BINUNICODE8
            case 'C': push(make_text(Value::Type::Bytes, take(byte()))); break;     // SHORT_BINBYTES
            case 'B': push(make_text(Value::Type::Bytes, take(little(4)))); break;  // BINBYTES
            case 'R': {                                                             // REDUCE
                Value *args = pop(), *callable = pop();
                push(call(*callable, *args));
                break;
            }
            case 'b': {  // BUILD
                Value *state = pop();
                build(*top(), *state);
                break;
            }
            default: {
                static const char hex[] = "0123456789abcdef";
                unsafe(std::string("opcode 0x") + hex[op >> 4] + hex[op & 15] + " at byte " + std::to_string(at) +
                       " has no place in a pickled array of strings");
            }
        }
    }

    Value *list_below() {
        Value *list = top();
        if (list->type != Value::Type::List) unsafe("the pickle appends to a " + std::string(type_name(*list)));
        return list;
    }

    static bool is_int(const Value *v, int64_t n) { return v->type == Value::Type::Int && v->number == n; }
    static bool is_str(const Value *v, const char *s) { return v->type == Value::Type::Str && v->text == s; }

    // The three calls NumPy's writer uses, and nothing else.
    Value *call(const Value &fn, const Value &args) {
        if (fn.type != Value::Type::Global || args.type != Value::Type::Tuple)
            unsafe("the pickle calls a " + std::string(type_name(fn)));
        const auto &a = args.items;
        const std::string &name = fn.text;
        if (name == kAllowedGlobals[0] || name == kAllowedGlobals[1]) {
            // _reconstruct(ndarray, (0,), b'b'): an empty array, filled by BUILD
            if (a.size() == 3 && a[0]->type == Value::Type::Global && a[0]->text == "numpy.ndarray" &&
                a[1]->type == Value::Type::Tuple && a[1]->items.size() == 1 && is_int(a[1]->items[0], 0) &&
                a[2]->type == Value::Type::Bytes && a[2]->text == "b")
                return make(Value::Type::Array);
        } else if (name == "numpy.dtype") {
            // dtype('O8', False, True): the object dtype
            if (a.size() == 3 && a[0]->type == Value::Type::Str && (a[0]->text == "O8" || a[0]->text == "O4") &&
                a[1] == &false_ && a[2] == &true_)
                return make(Value::Type::Dtype);
        } else if (name == "_codecs.encode") {
            // encode(text, 'latin1'): how protocol 2 spells bytes
            if (a.size() == 2 && a[0]->type == Value::Type::Str && is_str(a[1], "latin1")) {
                std::u32string chars;
                if (decode_utf8(a[0]->text, chars)) {
                    std::string bytes;
                    for (char32_t c : chars) {
                        if (c > 0xFF) unsafe("the pickle encodes a non-Latin-1 string");
                        bytes.push_back(char(c));
                    }
                    return make_text(Value::Type::Bytes, std::move(bytes));
                }
            }
        }
        unsafe("the pickle calls " + printable(name) + " with arguments NumPy's writer never uses");
    }

    void build(Value &target, const Value &state) {
        const auto &s = state.items;
        if (target.built || state.type != Value::Type::Tuple)
            unsafe("the pickle sets the state of a " + std::string(type_name(target)) + " twice or oddly");
        if (target.type == Value::Type::Dtype) {
            // (3, '|', None, None, None, -1, -1, 63): NumPy's own state of the object dtype;
            // any other byte order, size, alignment or flags would change how NumPy reads memory
            if (s.size() != 8 || !is_int(s[0], 3) || !is_str(s[1], "|") || s[2] != &none_ || s[3] != &none_ ||
                s[4] != &none_ || !is_int(s[5], -1) || !is_int(s[6], -1) || !is_int(s[7], 63))
                unsafe("the pickled object dtype does not have NumPy's own state");
            target.built = true;
            return;
        }
        if (target.type != Value::Type::Array)
            unsafe("the pickle sets the state of a " + std::string(type_name(target)));
        // (1, shape, dtype, is_fortran, items)
        if (s.size() != 5 || !is_int(s[0], 1) || s[1]->type != Value::Type::Tuple || s[2]->type != Value::Type::Dtype ||
            !s[2]->built || s[3] != &false_ || s[4]->type != Value::Type::List)
            unsafe("the pickled array is not an object array as NumPy writes one");
        // the element count, saturating just above the number of items
        const uint64_t items = s[4]->items.size();
        uint64_t count = 1;
        for (const Value *d : s[1]->items) {
            if (d->type != Value::Type::Int || d->number < 0) unsafe("the pickled array has an invalid shape");
            const uint64_t n = uint64_t(d->number);
            count = n == 0 ? 0 : count > items / n ? items + 1 : count * n;
        }
        if (count != items) unsafe("the pickled array's shape does not match its items");
        target.ndim = s[1]->items.size();
        target.number = int64_t(count);
        target.list = s[4];
        target.built = true;
    }
};

}  // namespace

std::u32string join_pickled_strings(const std::string &pickle, size_t max_chars) {
    Interpreter interpreter(pickle);
    const Value &array = interpreter.run();
    if (array.type != Value::Type::Array || !array.built)
        throw FormatError(std::string("holds a ") + type_name(array) + ", not an array of characters");
    if (array.ndim > 1) throw FormatError("holds a multi-dimensional array, not a sequence of characters");
    if (array.list->items.size() != uint64_t(array.number))  // appended to after the array was built
        throw FormatError("cannot be loaded safely: the pickled array's shape does not match its items");
    std::u32string text;
    for (const Value *item : array.list->items) {
        if (item->type != Value::Type::Str)
            throw FormatError(std::string("holds a ") + type_name(*item) + " item, not a character string");
        if (!decode_utf8(item->text, text)) throw FormatError("holds a string that is not valid UTF-8");
        if (text.size() > max_chars)
            throw FormatError("cannot be loaded safely: the pickle repeats its strings into more than " +
                              std::to_string(max_chars) + " characters");
    }
    return text;
}

}  // namespace ql::npy
