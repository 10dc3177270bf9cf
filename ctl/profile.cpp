#include "ctl/profile.h"
#include "protocol/rules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace vtrl::ctl {

namespace {

constexpr std::array<int, 10> kBauds = {300, 1200, 2400, 4800, 7200, 9600, 19200, 38400, 57600, 115200};
const QStringList kParities = {QStringLiteral("none"), QStringLiteral("odd"), QStringLiteral("even")};
const QStringList kFlows = {QStringLiteral("none"), QStringLiteral("software"), QStringLiteral("hardware")};
const QStringList kRoles = {QStringLiteral("DTE"), QStringLiteral("DCE")};
const QStringList kFunctions = {QStringLiteral("Cable Replacement"), QStringLiteral("SPP Server")};

const QStringList kTopKeys = {QStringLiteral("format"), QStringLiteral("version"), QStringLiteral("local"),
                              QStringLiteral("remote")};
const QStringList kPortKeys = {QStringLiteral("baud"),     QStringLiteral("dataBits"),   QStringLiteral("parity"),
                               QStringLiteral("stopBits"), QStringLiteral("flow"),       QStringLiteral("role"),
                               QStringLiteral("powerLevel"), QStringLiteral("cdOutput")};
const QStringList kDeviceKeys = {QStringLiteral("name"),       QStringLiteral("linkTimeout"),
                                 QStringLiteral("authentication"), QStringLiteral("encryption"),
                                 QStringLiteral("pin"),        QStringLiteral("resetLinkKeys")};

// The longest texts the device's fields hold with their zero byte.
constexpr auto kNameMax = static_cast<qsizetype>(protocol::kDeviceNameMax);
constexpr auto kPinMax = static_cast<qsizetype>(protocol::kPinMax);
// The range the wizard's Advanced dialog offers.
constexpr int kLinkTimeoutMax = protocol::kLinkTimeoutOffered;
constexpr int kPowerLevelMax = 7;

QString Quoted(const QStringList& words)
{
    QStringList q;
    for (const QString& w : words)
        q << QLatin1Char('"') + w + QLatin1Char('"');
    return q.join(QStringLiteral(", "));
}

QString Shown(const QJsonValue& v)
{
    if (v.isString())
        return QLatin1Char('"') + v.toString() + QLatin1Char('"');
    if (v.isUndefined())
        return QStringLiteral("nothing");
    QJsonArray wrap{v};
    const QByteArray text = QJsonDocument(wrap).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}

// Thrown inside the loader only, caught at its top.
struct Invalid {
    QString text;
};

[[noreturn]] void Fail(const QString& key, const QString& text) { throw Invalid{key + QStringLiteral(": ") + text}; }

class Section {
public:
    Section(QJsonObject object, QString name) : o_(std::move(object)), name_(std::move(name)) {}

    void AllowOnly(const QStringList& keys) const
    {
        for (const QString& key : o_.keys())
            if (!keys.contains(key))
                Fail(Key(key), QStringLiteral("unknown key; allowed keys are %1").arg(Quoted(keys)));
    }
    bool Has(const QString& key) const { return o_.contains(key); }
    QString Key(const QString& key) const { return name_.isEmpty() ? key : name_ + QLatin1Char('.') + key; }

    // The code of a word from `words` (1-based).
    std::uint8_t Word(const QString& key, const QStringList& words) const
    {
        const QJsonValue v = o_.value(key);
        const int at = v.isString() ? words.indexOf(v.toString()) : -1;
        if (at < 0)
            Fail(Key(key), QStringLiteral("%1 is not allowed; use one of %2").arg(Shown(v), Quoted(words)));
        return static_cast<std::uint8_t>(at + 1);
    }
    // The code of a number from `numbers` (1-based).
    template <std::size_t N>
    std::uint8_t Number(const QString& key, const std::array<int, N>& numbers) const
    {
        const QJsonValue v = o_.value(key);
        const auto it = std::find_if(numbers.begin(), numbers.end(), [&](int n) { return v.isDouble() && v.toDouble() == n; });
        if (it == numbers.end()) {
            QStringList allowed;
            for (int n : numbers)
                allowed << QString::number(n);
            Fail(Key(key), QStringLiteral("%1 is not allowed; use one of %2").arg(Shown(v), allowed.join(QStringLiteral(", "))));
        }
        return static_cast<std::uint8_t>(it - numbers.begin() + 1);
    }
    int Integer(const QString& key, int lo, int hi) const
    {
        const QJsonValue v = o_.value(key);
        const double d = v.toDouble(-1);
        // Range first: a cast of 1e300 to int is undefined.
        if (!v.isDouble() || !(d >= lo && d <= hi) || d != std::floor(d))
            Fail(Key(key), QStringLiteral("%1 is not allowed; use a whole number from %2 to %3").arg(Shown(v)).arg(lo).arg(hi));
        return static_cast<int>(d);
    }
    bool Bool(const QString& key) const
    {
        const QJsonValue v = o_.value(key);
        if (!v.isBool())
            Fail(Key(key), QStringLiteral("%1 is not allowed; use true or false").arg(Shown(v)));
        return v.toBool();
    }
    // The device keeps one byte per character, as the wizard writes it, and
    // shows only the characters its fields can hold.
    std::string Text(const QString& key, qsizetype maxBytes, bool allowEmpty, bool pin) const
    {
        const QJsonValue v = o_.value(key);
        if (!v.isString())
            Fail(Key(key), QStringLiteral("%1 is not allowed; use a text in double quotes").arg(Shown(v)));
        const QString text = v.toString();
        if (const auto bad = protocol::FirstUnfitCharacter(text.toStdString(), pin))
            Fail(Key(key), QStringLiteral("\"%1\" is not allowed; the device holds %2 only")
                               .arg(QString::fromStdString(*bad),
                                    pin ? QStringLiteral("digits, the letters A to Z and the signs of a US keyboard")
                                        : QStringLiteral("letters, digits and signs of Western European languages")));
        const QByteArray bytes = text.toLatin1();
        if (bytes.size() > maxBytes)
            Fail(Key(key), QStringLiteral("%1 is too long; the device holds at most %2 characters").arg(Shown(v)).arg(maxBytes));
        if (bytes.contains('\0'))
            Fail(Key(key), QStringLiteral("a zero character is not allowed"));
        if (!allowEmpty && bytes.isEmpty())
            Fail(Key(key), QStringLiteral("an empty text is not allowed"));
        return bytes.toStdString();
    }
    void Require(const QStringList& keys) const
    {
        for (const QString& key : keys)
            if (!o_.contains(key))
                Fail(Key(key), QStringLiteral("missing; a profile must give it"));
    }

private:
    QJsonObject o_;
    QString name_;
};

PortSettings LoadPort(const Section& s)
{
    s.AllowOnly(kPortKeys);
    PortSettings p;
    if (s.Has(QStringLiteral("baud")))
        p.baud = s.Number(QStringLiteral("baud"), kBauds);
    if (s.Has(QStringLiteral("dataBits")))
        p.dataBits = s.Number(QStringLiteral("dataBits"), std::array<int, 2>{7, 8});
    if (s.Has(QStringLiteral("parity")))
        p.parity = s.Word(QStringLiteral("parity"), kParities);
    if (s.Has(QStringLiteral("stopBits")))
        p.stopBits = s.Number(QStringLiteral("stopBits"), std::array<int, 2>{1, 2});
    if (s.Has(QStringLiteral("flow")))
        p.flow = s.Word(QStringLiteral("flow"), kFlows);
    if (s.Has(QStringLiteral("role")))
        p.interfaceCode = s.Word(QStringLiteral("role"), kRoles);
    if (s.Has(QStringLiteral("powerLevel")))
        p.powerLevel = static_cast<std::uint8_t>(s.Integer(QStringLiteral("powerLevel"), 0, kPowerLevelMax));
    if (s.Has(QStringLiteral("cdOutput"))) {
        p.cdOutput = s.Bool(QStringLiteral("cdOutput"));
        // Only a DCE drives CD; the wizard offers the switch for DCE only.
        // Without a role the device's decides, once it is read.
        if (*p.cdOutput && p.interfaceCode && *p.interfaceCode != 2)
            Fail(s.Key(QStringLiteral("cdOutput")), QStringLiteral("true is allowed only with \"role\": \"DCE\""));
    }
    return p;
}

QJsonObject PortJson(const PortSettings& p)
{
    QJsonObject o;
    const auto number = [](std::uint8_t code, auto values) -> QJsonValue {
        if (code >= 1 && code <= values.size())
            return values[code - 1];
        return code;
    };
    const auto word = [](std::uint8_t code, const QStringList& words) -> QJsonValue {
        if (code >= 1 && code <= words.size())
            return words[code - 1];
        return code;
    };
    if (p.baud)
        o[QStringLiteral("baud")] = number(*p.baud, kBauds);
    if (p.dataBits)
        o[QStringLiteral("dataBits")] = number(*p.dataBits, std::array<int, 2>{7, 8});
    if (p.parity)
        o[QStringLiteral("parity")] = word(*p.parity, kParities);
    if (p.stopBits)
        o[QStringLiteral("stopBits")] = number(*p.stopBits, std::array<int, 2>{1, 2});
    if (p.flow)
        o[QStringLiteral("flow")] = word(*p.flow, kFlows);
    if (p.interfaceCode)
        o[QStringLiteral("role")] = RoleText(*p.interfaceCode);
    if (p.powerLevel)
        o[QStringLiteral("powerLevel")] = *p.powerLevel;
    if (p.cdOutput)
        o[QStringLiteral("cdOutput")] = *p.cdOutput;
    return o;
}

PortSettings PortFromConfig(const protocol::DeviceConfig& c, const QString& prefix, QStringList& warnings)
{
    PortSettings p;
    p.baud = c.BaudCode;
    p.dataBits = c.DataBitsCode;
    p.parity = c.ParityCode;
    p.stopBits = c.StopBitsCode;
    p.flow = c.FlowControlCode;
    p.interfaceCode = c.InterfaceCode == 2 ? 2 : 1;
    p.powerLevel = static_cast<std::uint8_t>(c.PowerByte & 0x0F);
    p.cdOutput = c.OutputOnCD != 0;
    const auto check = [&](const char* key, std::uint8_t code, int count) {
        if (code < 1 || code > count)
            warnings << QStringLiteral("%1.%2: the device reports code %3, which names no setting").arg(prefix, QLatin1String(key)).arg(code);
    };
    check("baud", c.BaudCode, 10);
    check("dataBits", c.DataBitsCode, 2);
    check("parity", c.ParityCode, 3);
    check("stopBits", c.StopBitsCode, 2);
    check("flow", c.FlowControlCode, 3);
    return p;
}

}  // namespace

QString BaudText(std::uint8_t code)
{
    return code >= 1 && code <= kBauds.size() ? QString::number(kBauds[code - 1]) : QStringLiteral("code %1").arg(code);
}
QString ParityText(std::uint8_t code)
{
    return code >= 1 && code <= kParities.size() ? kParities[code - 1] : QStringLiteral("code %1").arg(code);
}
QString FlowText(std::uint8_t code)
{
    return code >= 1 && code <= kFlows.size() ? kFlows[code - 1] : QStringLiteral("code %1").arg(code);
}
QString RoleText(std::uint8_t interfaceCode) { return interfaceCode == 2 ? kRoles[1] : kRoles[0]; }
QString DataBitsText(std::uint8_t code)
{
    return code == 1 || code == 2 ? QString::number(code == 1 ? 7 : 8) : QStringLiteral("code %1").arg(code);
}

PortSettings Filled(const PortSettings& partial, const protocol::DeviceConfig& c)
{
    PortSettings p = partial;
    p.baud = partial.baud.value_or(c.BaudCode);
    p.dataBits = partial.dataBits.value_or(c.DataBitsCode);
    p.parity = partial.parity.value_or(c.ParityCode);
    p.stopBits = partial.stopBits.value_or(c.StopBitsCode);
    p.flow = partial.flow.value_or(c.FlowControlCode);
    p.interfaceCode = partial.interfaceCode.value_or(c.InterfaceCode == 2 ? 2 : 1);
    return p;
}
QString FunctionText(std::uint8_t code)
{
    return code >= 1 && code <= kFunctions.size() ? kFunctions[code - 1] : QStringLiteral("code %1").arg(code);
}

QString DeviceText(const std::string& bytes)
{
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

namespace {

// The first key that appears twice in one object, as a dotted path. The JSON
// parser keeps the last of them silently, so a profile edited by hand could
// say one thing and apply another. Called on a document that parsed.
std::optional<QString> DuplicateKey(const QByteArray& json)
{
    struct Level {
        bool object = false;
        QString name;       // the key this value sits under
        QStringList keys;   // keys seen so far, objects only
        bool expectKey = false;
    };
    std::vector<Level> stack;
    QString lastKey;
    const auto path = [&](const QString& key) {
        QStringList parts;
        for (const Level& l : stack)
            if (!l.name.isEmpty())
                parts << l.name;
        parts << key;
        return parts.join(QLatin1Char('.'));
    };
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '"') {
            qsizetype end = i + 1;
            while (end < json.size() && json[end] != '"')
                end += json[end] == '\\' ? 2 : 1;
            const QByteArray raw = json.mid(i, end - i + 1);
            i = end;
            if (stack.empty() || !stack.back().object || !stack.back().expectKey)
                continue;
            // Decoded, so that "b\u0061ud" and "baud" are the same key.
            const QString key = QJsonDocument::fromJson("[" + raw + "]").array().at(0).toString();
            if (stack.back().keys.contains(key))
                return path(key);
            stack.back().keys << key;
            stack.back().expectKey = false;
            lastKey = key;
        } else if (c == '{' || c == '[') {
            const bool inObject = !stack.empty() && stack.back().object;
            stack.push_back(Level{c == '{', inObject ? lastKey : QString(), {}, c == '{'});
        } else if (c == '}' || c == ']') {
            if (!stack.empty())
                stack.pop_back();
        } else if (c == ',' && !stack.empty() && stack.back().object) {
            stack.back().expectKey = true;
        }
    }
    return std::nullopt;
}

}  // namespace

std::variant<Profile, QString> LoadProfile(const QByteArray& json)
{
    if (json.trimmed().isEmpty())
        return QStringLiteral("the profile is empty");
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("not a JSON document: %1 at byte %2").arg(error.errorString()).arg(error.offset);
    if (const auto key = DuplicateKey(json))
        return QStringLiteral("%1: appears twice; keep one").arg(*key);
    if (!doc.isObject())
        return QStringLiteral("a profile is a JSON object with the keys %1").arg(Quoted(kTopKeys));
    try {
        const QJsonObject top = doc.object();
        const Section root(top, QString());
        root.AllowOnly(kTopKeys);
        root.Require({QStringLiteral("format"), QStringLiteral("version"), QStringLiteral("local")});
        if (top.value(QStringLiteral("format")).toString() != QLatin1String(kProfileFormat))
            Fail(QStringLiteral("format"), QStringLiteral("%1 is not allowed; use \"%2\"")
                                                .arg(Shown(top.value(QStringLiteral("format"))), QLatin1String(kProfileFormat)));
        if (root.Integer(QStringLiteral("version"), 0, 1'000'000) != kProfileVersion)
            Fail(QStringLiteral("version"), QStringLiteral("%1 is not supported; this vtrlctl reads version %2")
                                                 .arg(Shown(top.value(QStringLiteral("version")))).arg(kProfileVersion));

        const QJsonValue localValue = top.value(QStringLiteral("local"));
        if (!localValue.isObject())
            Fail(QStringLiteral("local"), QStringLiteral("must be an object with the device's settings"));
        const QJsonObject localObject = localValue.toObject();
        const Section local(localObject, QStringLiteral("local"));
        local.AllowOnly(QStringList{QStringLiteral("function")} + kPortKeys + kDeviceKeys);
        local.Require({QStringLiteral("function")});

        Profile p;
        p.function = local.Word(QStringLiteral("function"), kFunctions);
        QJsonObject portObject;
        for (const QString& key : kPortKeys)
            if (localObject.contains(key))
                portObject[key] = localObject.value(key);
        p.local = LoadPort(Section(portObject, QStringLiteral("local")));

        for (const QString& key : kDeviceKeys)
            if (localObject.contains(key) && p.function != protocol::kSppServer)
                Fail(local.Key(key), QStringLiteral("is set only on an SPP Server; this profile is for %1")
                                         .arg(FunctionText(p.function)));
        if (local.Has(QStringLiteral("name")))
            p.device.name = local.Text(QStringLiteral("name"), kNameMax, true, false);
        if (local.Has(QStringLiteral("linkTimeout")))
            p.device.linkTimeout = static_cast<std::uint8_t>(local.Integer(QStringLiteral("linkTimeout"), 0, kLinkTimeoutMax));
        if (local.Has(QStringLiteral("authentication")))
            p.device.authentication = local.Bool(QStringLiteral("authentication"));
        if (local.Has(QStringLiteral("encryption")))
            p.device.encryption = local.Bool(QStringLiteral("encryption"));
        if (local.Has(QStringLiteral("pin")))
            p.device.pin = local.Text(QStringLiteral("pin"), kPinMax, false, true);
        if (local.Has(QStringLiteral("resetLinkKeys")))
            p.device.resetLinkKeys = local.Bool(QStringLiteral("resetLinkKeys"));
        if (p.device.resetLinkKeys && p.device.authentication == false)
            Fail(local.Key(QStringLiteral("resetLinkKeys")),
                 QStringLiteral("true is allowed only with \"authentication\": true"));

        if (top.contains(QStringLiteral("remote"))) {
            if (p.function != protocol::kCableReplacement)
                Fail(QStringLiteral("remote"), QStringLiteral("only a Cable Replacement pair has a remote device"));
            const QJsonValue remoteValue = top.value(QStringLiteral("remote"));
            if (!remoteValue.isObject())
                Fail(QStringLiteral("remote"), QStringLiteral("must be an object with the remote device's settings"));
            p.remote = LoadPort(Section(remoteValue.toObject(), QStringLiteral("remote")));
        }
        return p;
    } catch (const Invalid& invalid) {
        return invalid.text;
    }
}

QByteArray ProfileJson(const Profile& p)
{
    QJsonObject top;
    top[QStringLiteral("format")] = QLatin1String(kProfileFormat);
    top[QStringLiteral("version")] = kProfileVersion;
    QJsonObject local = PortJson(p.local);
    local[QStringLiteral("function")] = FunctionText(p.function);
    const DeviceSettings& d = p.device;
    if (d.name)
        local[QStringLiteral("name")] = DeviceText(*d.name);
    if (d.linkTimeout)
        local[QStringLiteral("linkTimeout")] = *d.linkTimeout;
    if (d.authentication)
        local[QStringLiteral("authentication")] = *d.authentication;
    if (d.encryption)
        local[QStringLiteral("encryption")] = *d.encryption;
    if (d.pin)
        local[QStringLiteral("pin")] = DeviceText(*d.pin);
    if (d.resetLinkKeys)
        local[QStringLiteral("resetLinkKeys")] = true;
    top[QStringLiteral("local")] = local;
    if (p.remote)
        top[QStringLiteral("remote")] = PortJson(*p.remote);
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

Profile ProfileFromConfig(const protocol::DeviceConfig& local, const protocol::DeviceConfig* remote, bool includePin,
                          QStringList& warnings)
{
    Profile p;
    p.function = local.DeviceFunction;
    if (p.function != protocol::kCableReplacement && p.function != protocol::kSppServer)
        warnings << QStringLiteral("local.function: the device reports code %1, which names no device function").arg(p.function);
    p.local = PortFromConfig(local, QStringLiteral("local"), warnings);
    if (p.function == protocol::kSppServer) {
        p.device.name = protocol::FieldText(local.DeviceName.data(), local.DeviceName.size());
        p.device.linkTimeout = static_cast<std::uint8_t>(std::min<int>(local.LinkTimeout, 255));
        if (local.LinkTimeout > kLinkTimeoutMax)
            warnings << QStringLiteral("local.linkTimeout: the device holds %1, above the %2 a profile may set").arg(local.LinkTimeout).arg(kLinkTimeoutMax);
        p.device.authentication = local.Authentication != 0;
        p.device.encryption = local.Encryption != 0;
        if (includePin)
            p.device.pin = protocol::FieldText(local.PinCode.data(), local.PinCode.size());
    }
    if (remote)
        p.remote = PortFromConfig(*remote, QStringLiteral("remote"), warnings);
    return p;
}

QList<SettingValue> SettingValues(const QString& prefix, const PortSettings& want, const DeviceSettings* device,
                                  const protocol::DeviceConfig& have)
{
    QList<SettingValue> out;
    const auto value = [&](const char* key, const QString& profile, const QString& actual) {
        out.append(SettingValue{prefix + QLatin1Char('.') + QLatin1String(key), profile, actual, profile == actual});
    };
    const auto yesNo = [](bool b) { return b ? QStringLiteral("true") : QStringLiteral("false"); };
    if (want.baud)
        value("baud", BaudText(*want.baud), BaudText(have.BaudCode));
    if (want.dataBits)
        value("dataBits", DataBitsText(*want.dataBits), DataBitsText(have.DataBitsCode));
    if (want.parity)
        value("parity", ParityText(*want.parity), ParityText(have.ParityCode));
    if (want.stopBits)
        value("stopBits", QString::number(*want.stopBits), QString::number(have.StopBitsCode));
    if (want.flow)
        value("flow", FlowText(*want.flow), FlowText(have.FlowControlCode));
    if (want.interfaceCode)
        value("role", RoleText(*want.interfaceCode), RoleText(have.InterfaceCode));
    if (want.powerLevel)
        value("powerLevel", QString::number(*want.powerLevel), QString::number(have.PowerByte & 0x0F));
    if (want.cdOutput)
        value("cdOutput", yesNo(*want.cdOutput), yesNo(have.OutputOnCD != 0));
    if (device) {
        if (device->name)
            value("name", DeviceText(*device->name), DeviceText(protocol::FieldText(have.DeviceName.data(), have.DeviceName.size())));
        if (device->linkTimeout)
            value("linkTimeout", QString::number(*device->linkTimeout), QString::number(have.LinkTimeout));
        if (device->authentication)
            value("authentication", yesNo(*device->authentication), yesNo(have.Authentication != 0));
        if (device->encryption)
            value("encryption", yesNo(*device->encryption), yesNo(have.Encryption != 0));
        // The PIN is compared but never shown.
        if (device->pin)
            out.append(SettingValue{prefix + QStringLiteral(".pin"), QStringLiteral("(hidden)"), QStringLiteral("(hidden)"),
                                    *device->pin == protocol::FieldText(have.PinCode.data(), have.PinCode.size())});
    }
    return out;
}

QStringList CompareSettings(const QString& prefix, const PortSettings& want, const DeviceSettings* device,
                            const protocol::DeviceConfig& have)
{
    QStringList out;
    for (const SettingValue& v : SettingValues(prefix, want, device, have)) {
        if (v.same)
            continue;
        if (v.key.endsWith(QLatin1String(".pin")))
            out << QStringLiteral("%1: the device holds another PIN than the profile").arg(v.key);
        else
            out << QStringLiteral("%1: profile %2, device %3").arg(v.key, v.want, v.have);
    }
    return out;
}

}  // namespace vtrl::ctl
