#pragma once

// OSC 1.0 packets: the messages and bundles that every fired cue sends, and the
// reading side that turns received bytes back into packets.
//
// Wire format: every item is a multiple of 4 bytes, numbers are big-endian,
// texts are UTF-8 followed by 1 to 4 zero bytes. A built bundle always carries
// the time tag 1 (immediately).
//
// Reading received bytes is safe whatever they hold:
//
// * Bounds. No routine reads outside the data. A reading routine that would
//   run past the end reads nothing beyond it and leaves Offset past the end
//   (Offset > End), so its caller can tell that the data was short.
//   Unpack and Decode reject a packet that is short or inconsistent by raising
//   a CuewellError that says what is wrong: a string without its terminating
//   zero and padding, a bundle without its 8-byte time tag, an element size of
//   zero, below zero, not a multiple of 4 or running past the end, a number
//   past the end, bundles nested deeper than MaxOSCBundleDepth. A message
//   reads only inside its own bundle element. A rejected Decode leaves the
//   message undecoded and without arguments; a message that ends after its
//   address (no type tag string) decodes with no arguments.
//   The getters raise "Argument out of range" for an index outside the stored
//   elements or type tags. GetArgumentAsInt/AsFloat read the first 4 bytes of
//   an element; an element shorter than 4 bytes (a short string, a data-less
//   tag) has its missing bytes read as zero.
//
// * Type tags. Decode keeps element indexes equal to type-tag positions:
//   besides "s", "i" and "f" it stores an element for each OSC 1.1 type of
//   known size: "S" like "s"; "b" as the blob's data (without its size and
//   padding); "c", "r", "m" (4 bytes) and "h", "t", "d" (8 bytes) as their
//   wire bytes in reverse order like "i" and "f"; and an empty element for the
//   data-less "T", "F", "N", "I", "[" and "]". A tag of unknown size makes the
//   message unreadable (Decode raises), as OSC 1.0 asks, so no later argument
//   is ever read from the wrong place.
//
// * Texts. Addresses and type tags are decoded as UTF-8; invalid sequences
//   become U+FFFD. An OSC string ends at its first zero byte, so a text handed
//   to the encoder is cut at its first zero character: the bytes sent are
//   exactly what a receiver reads back.
//
// * Matching. PatternMatches walks the pattern once, keeping the set of text
//   positions reachable so far as bits: no recursion, and time proportional
//   to the pattern length times the text length whatever the pattern holds.
//   A set or a brace body is read once, not once per text position; an
//   alternative longer than the rest of the text, or a repeat of one that
//   already reached every position it could, costs no comparison. A "["
//   without its "]", a "{" without its "}" and a stray "]" or "}" match
//   nothing. The "-" of a range is only the range operator; a "-" first or
//   last in a set stands for itself ("[a-]" is {a, -}). An empty alternative
//   in braces matches the empty text, at the end too.

#include <QByteArray>
#include <QLocale>
#include <QString>
#include <QVarLengthArray>
#include <memory>
#include <optional>
#include <variant>

class TOSCMessage;
class TOSCBundle;
class TOSCReceived;

// Nested bundles deeper than this are rejected by Unpack.
inline constexpr int MaxOSCBundleDepth = 32;

// --- Encoding items -------------------------------------------------------

QByteArray OSCIntBytes(qint32 value);
QByteArray OSCFloatBytes(float value);
// The OSC string of UTF-8 text: its bytes up to the first zero byte, then 1 to
// 4 zero bytes up to a multiple of 4.
QByteArray OSCStringBytes(const QByteArray& value);

// --- Reading routines -----------------------------------------------------
// Each reads from Bytes at Offset and advances Offset. End is where the data
// ends (the whole buffer when omitted). A read that does not fit leaves Offset
// greater than End.

// The bytes from Offset up to the first zero byte (or End), without the zero;
// Offset moves to the 4-byte boundary after the zero, which is past End when
// the padding is cut off.
QByteArray ReadOSCString(const QByteArray& bytes, int& offset);
QByteArray ReadOSCString(const QByteArray& bytes, int& offset, int end);
// The 4 bytes at Offset in reverse order (least significant first); 4 zero
// bytes when they do not fit.
QByteArray ReadOSCIntBytes(const QByteArray& bytes, int& offset);
QByteArray ReadOSCIntBytes(const QByteArray& bytes, int& offset, int end);
QByteArray ReadOSCFloatBytes(const QByteArray& bytes, int& offset);
QByteArray ReadOSCFloatBytes(const QByteArray& bytes, int& offset, int end);
// The big-endian int32 at Offset; 0 when it does not fit.
qint32 ReadOSCInt(const QByteArray& bytes, int& offset);
qint32 ReadOSCInt(const QByteArray& bytes, int& offset, int end);

// --- Address matching -----------------------------------------------------

// Whole-address match of an OSC address pattern: "*" any run of characters
// and "?" any one character, both crossing "/"; "[abc]", "[a-z]", "[!a]" one
// character of (or outside) a set; "{foo,bar}" one of literal alternatives.
// Characters are compared as 16-bit values, letter case counting.
bool PatternMatches(QStringView pattern, QStringView text);
// Does the set of a "[...]" (the characters between "[" and "]", negated by
// a leading "!") take Ch? Ranges are inclusive; a "-" first or last in the
// set is a member like any other character.
bool BracketMatches(QStringView set, QChar ch);
// The lengths of the comma-separated literal alternatives of a "{...}" body
// (the text between the braces) that Text begins with, in the order written.
// An empty alternative gives 0.
QVarLengthArray<qsizetype, 8> BraceMatches(QStringView body, QStringView text);

// --- Packets --------------------------------------------------------------

class TOSCPacket {
public:
    // Inline, like the other constructors and destructors of packets: a
    // packet read in place costs no calls to make and to drop.
    explicit TOSCPacket(const QByteArray& bytes = {}) : FBytes(bytes) {}
    virtual ~TOSCPacket() = default;
    TOSCPacket(const TOSCPacket&) = delete;
    TOSCPacket& operator=(const TOSCPacket&) = delete;

    // The first unmatched message (this one or one inside) whose address,
    // taken as a pattern, matches Address; it is marked matched. None if none.
    virtual TOSCMessage* MatchAddress(const QString& address) = 0;
    // The packet's OSC bytes.
    QByteArray ToOSCBytes() const;
    // The size of the packet's OSC bytes, and writing them to Out (which has
    // room for that many); returns the end of what was written. ToOSCBytes
    // uses the two to build its result in one allocation.
    virtual qsizetype OSCByteSize() const = 0;
    virtual char* WriteOSCBytes(char* out) const = 0;
    // Clears the matched mark here and in everything inside.
    virtual void Unmatch() = 0;

    // Reads the first Count bytes of Bytes: a bundle if the first byte is
    // "#", a message otherwise. Raises CuewellError for unreadable bytes.
    // The packet is held in place by the result (see TOSCReceived).
    static TOSCReceived Unpack(const QByteArray& bytes, qint64 count);
    static TOSCReceived Unpack(const QByteArray& bytes);
    // Reads the packet that starts at Offset and ends at Count (a position in
    // Bytes). Messages get TimeTag; a bundle reads its own.
    static TOSCReceived Unpack(const QByteArray& bytes, int offset, int count, double timeTag);

    // The received buffer this packet was read from; empty for a built one.
    // A received packet shares the buffer's storage rather than copying it,
    // so whatever it hands out stays readable for as long as the packet
    // lives, even when the caller reuses or drops its buffer.
    const QByteArray& Bytes() const { return FBytes; }

protected:
    // Moved only while a bundle is read, before anyone holds a pointer to it.
    TOSCPacket(TOSCPacket&&) noexcept = default;

    QByteArray FBytes;
};

class TOSCMessage final : public TOSCPacket {
public:
    explicit TOSCMessage(const QString& address);
    explicit TOSCMessage(const QByteArray& bytes) : TOSCPacket(bytes) { FTypeTags.append(','); }
    TOSCMessage(TOSCMessage&&) noexcept = default;
    ~TOSCMessage() override = default;

    void AddInteger(qint32 value);
    void AddFloat(float value);
    // Value is UTF-8 text.
    void AddString(const QByteArray& value);
    // Adds an argument given as text: "i" an integer (optional sign, decimal
    // digits, surrounding blanks allowed), "f" a number written with Fs's
    // decimal conventions that fits a finite 32-bit float, "s" the text
    // itself. 0 when added; 1 for any other tag; 2 when Value does not
    // convert. Nothing is added unless the result is 0.
    int AddAsBytes(QChar typeTag, const QByteArray& value, const QLocale& fs = QLocale());

    TOSCMessage* MatchAddress(const QString& address) override;
    qsizetype OSCByteSize() const override;
    char* WriteOSCBytes(char* out) const override;
    void Unmatch() override;

    // Reads Bytes as a message (whatever its first byte), returned by value:
    // nothing is allocated for it.
    static TOSCMessage Unpack(const QByteArray& bytes, qint64 count);
    static TOSCMessage Unpack(const QByteArray& bytes) { return Unpack(bytes, bytes.size()); }
    static TOSCMessage Unpack(const QByteArray& bytes, int packetOffset, int count, double timeTag);

    // Reads the type tags and arguments of an unpacked message, once.
    // Raises CuewellError (and stays undecoded) for unreadable bytes.
    // The arguments stay in the received buffer and are only located:
    // nothing is allocated for up to 4 arguments, and beyond that the list
    // of their places grows by doubling, never once per argument.
    void Decode();
    // A received string or blob shares the received buffer (no copy); a
    // received number is its bytes in reverse order; an added argument is
    // its wire bytes.
    QByteArray GetArgument(int index) const;
    // Argument Index's bytes where they lie, copying and sharing nothing: a
    // string without its zero and padding, a blob's data, a number as sent
    // (big-endian), nothing for a data-less tag. The view reads the packet,
    // so it is only taken from a message that outlives it: never from a
    // temporary one, whose buffer may go with it.
    QByteArrayView ArgumentData(int index) const& {
        if (index < 0 || index >= FReceived.size())
            return AddedArgumentData(index);
        return QByteArrayView(FBytes.constData() + FReceived[index].Offset, FReceived[index].Size);
    }
    QByteArrayView ArgumentData(int index) const&& = delete;
    qint32 GetArgumentAsInt(int index) const;
    float GetArgumentAsFloat(int index) const;
    // The tag of argument Index: the character after the "," at Index + 1.
    QString GetTypeTag(int index) const;

    // A received address is converted to text when asked for, not when read.
    QString Address() const;
    void SetAddress(const QString& address) {
        FAddress = address;
        FAddressLength = -1;
    }
    int ArgumentCount() const { return int(FReceived.size() + FArguments.size()); }
    QString TypeTags() const { return QString::fromUtf8(TagBytes()); }
    bool IsDecoded() const { return FIsDecoded; }
    void SetIsDecoded(bool value) { FIsDecoded = value; }
    bool Matched() const { return FMatched; }
    void SetMatched(bool value) { FMatched = value; }
    double TimeTag() const { return FTimeTag; }
    void SetTimeTag(double value) { FTimeTag = value; }
    int TypeTagOffset() const { return FTypeTagOffset; }
    void SetTypeTagOffset(int value) { FTypeTagOffset = value; }

private:
    friend class TOSCBundle;
    friend class TOSCReceived;
    // Reads the address of the message at [Offset, End) of FBytes.
    void ReadAt(int offset, int end, double timeTag);
    bool HasReceivedAddress() const { return FAddressLength >= 0; }
    // ArgumentData of an added argument; raises for any index outside.
    QByteArrayView AddedArgumentData(int index) const;

    // A decoded argument's data in FBytes: a string without its zero and
    // padding, a blob without its size, a number as sent.
    struct TReceivedArgument {
        qint32 Offset;
        qint32 Size;
    };

    // The address of a built message, or one set after reading.
    QString FAddress;
    // The received address's UTF-8 bytes in FBytes; a length of -1 means
    // FAddress holds the address.
    qint32 FAddressOffset = 0;
    qint32 FAddressLength = -1;
    bool FIsDecoded = false;
    bool FMatched = false;
    double FTimeTag = 0;
    int FTypeTagOffset = 0;
    // Where the received message ends in FBytes; reads stop there.
    int FEnd = 0;
    // The received arguments' wire bytes in FBytes, as written back.
    int FArgumentsOffset = 0;
    int FArgumentsEnd = 0;
    QVarLengthArray<TReceivedArgument, 4> FReceived;
    // Arguments added to the message, as wire bytes; they follow the
    // received ones. Kept inline: a cue's message has one argument and two
    // tags, and the GO path should not allocate for them.
    QVarLengthArray<QByteArray, 4> FArguments;
    // The type tag string's UTF-8 bytes, "," first: received ASCII tags
    // where they lie in FBytes (a length of -1 when not), others in
    // FTypeTags. Each argument's tag is one ASCII byte, so argument K's tag
    // is byte K of the arguments' tags at the end (only a received string's
    // first character can be longer).
    qint32 FTagsOffset = 0;
    qint32 FTagsLength = -1;
    QVarLengthArray<char, 16> FTypeTags;
    QByteArrayView TagBytes() const {
        return FTagsLength >= 0 ? QByteArrayView(FBytes.constData() + FTagsOffset, FTagsLength)
                                : QByteArrayView(FTypeTags.constData(), FTypeTags.size());
    }
    char Tag(int index) const { return TagBytes()[TagBytes().size() - ArgumentCount() + index]; }
    // Moves received tags into FTypeTags, before tags are added to them.
    void OwnTypeTags();
};

class TOSCBundle final : public TOSCPacket {
public:
    explicit TOSCBundle(const QByteArray& bytes = {}) : TOSCPacket(bytes) {}
    TOSCBundle(TOSCBundle&&) noexcept = default;
    ~TOSCBundle() override = default;

    // Appends Packet; the bundle owns it from now on. Adding to a received
    // bundle may move its messages: pointers to them do not survive it.
    void Add(std::unique_ptr<TOSCPacket> packet);
    int PacketCount() const { return int(FPackets.size()); }
    // A received bundle holds its messages: none is taken from a temporary.
    TOSCPacket* Packet(int index) const& {
        if (index < 0 || index >= FPackets.size())
            RaiseNoPacket();
        return Get(FPackets[index]);
    }
    TOSCPacket* Packet(int index) const&& = delete;
    // The bundle's time tag in seconds since 1900 (received bundles only).
    double TimeTag() const { return FTimeTag; }

    TOSCMessage* MatchAddress(const QString& address) override;
    qsizetype OSCByteSize() const override;
    char* WriteOSCBytes(char* out) const override;
    void Unmatch() override;

    // Reads Bytes as a bundle (whatever its header says), returned by
    // value: its messages are held in it, so a bundle of messages costs no
    // allocation up to its inline room and one per doubling beyond.
    static TOSCBundle Unpack(const QByteArray& bytes, qint64 count);
    static TOSCBundle Unpack(const QByteArray& bytes) { return Unpack(bytes, bytes.size()); }
    static TOSCBundle Unpack(const QByteArray& bytes, int packetOffset, int count, double timeTag);

private:
    friend class TOSCReceived;
    // Reads the bundle at [Offset, End) of FBytes, nested Depth deep.
    void ReadAt(int offset, int end, int depth);

    // A received message is held in place; a nested bundle or an added
    // packet on the heap. Inline room for the one message of a cue bundle.
    using TElement = std::variant<std::unique_ptr<TOSCPacket>, TOSCMessage>;
    static TOSCPacket* Get(const TElement& element) {
        if (const auto* message = std::get_if<TOSCMessage>(&element))
            return const_cast<TOSCMessage*>(message);
        return std::get<std::unique_ptr<TOSCPacket>>(element).get();
    }
    [[noreturn]] static void RaiseNoPacket();

    QVarLengthArray<TElement, 1> FPackets;
    double FTimeTag = 0;
};

// A received packet held in place, where its reader's caller keeps it (on
// the stack, say): a message, or a bundle with its messages inside. Used like
// a pointer to the packet. The packet shares the received buffer's storage
// (see TOSCPacket::Bytes), so it cannot outlive the bytes it reads.
class TOSCReceived {
public:
    // Like a pointer, but never to a temporary's packet.
    TOSCPacket* get() & { return FMessage ? static_cast<TOSCPacket*>(&*FMessage) : &*FBundle; }
    const TOSCPacket* get() const& {
        return FMessage ? static_cast<const TOSCPacket*>(&*FMessage) : &*FBundle;
    }
    TOSCPacket* get() && = delete;
    TOSCPacket* operator->() & { return get(); }
    const TOSCPacket* operator->() const& { return get(); }
    TOSCPacket* operator->() && = delete;
    TOSCPacket& operator*() & { return *get(); }
    const TOSCPacket& operator*() const& { return *get(); }
    TOSCPacket& operator*() && = delete;

private:
    friend class TOSCPacket;
    TOSCReceived(const QByteArray& bytes, int offset, int end, double timeTag);

    std::optional<TOSCMessage> FMessage;
    std::optional<TOSCBundle> FBundle;
};

inline TOSCReceived TOSCPacket::Unpack(const QByteArray& bytes) {
    return Unpack(bytes, bytes.size());
}
