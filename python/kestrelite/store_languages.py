"""Which folder name each store's upload tool expects for a locale.

The App Store's upload tool (fastlane deliver) accepts only the language codes
of App Store Connect, and Play's (fastlane supply) the codes of the Play
Console; they differ for many languages (`ja` against `ja-JP`, `zh-Hans`
against `zh-CN`, `he` against `iw-IL`). A locale maps to the store's code
that names it exactly (letter case aside), else through the aliases below,
else to the store's code for its language: the bare language when the store
lists it, or the one code the store has for that language (`ar` and `ar-EG`
are the App Store's `ar-SA`). A set file may name the folder of a locale
itself, or leave a locale out of a store. A locale with no code is refused
before any capture, naming the locale and the store.
"""

# fastlane deliver/lib/deliver/languages.rb (ALL_LANGUAGES) as of fastlane
# 2.234.0, which added the eleven region codes bn-BD ... ur-PK (pull request
# #29959); earlier releases refuse those folders and with them the whole
# upload.
APPLE_LANGUAGES = (
    "ar-SA", "bn-BD", "ca", "cs", "da", "de-DE", "el", "en-AU", "en-CA", "en-GB", "en-US",
    "es-ES", "es-MX", "fi", "fr-CA", "fr-FR", "gu-IN", "he", "hi", "hr", "hu", "id", "it",
    "ja", "kn-IN", "ko", "ml-IN", "mr-IN", "ms", "nl-NL", "no", "or-IN", "pa-IN", "pl", "pt-BR",
    "pt-PT", "ro", "ru", "sk", "sl-SI", "sv", "ta-IN", "te-IN", "th", "tr", "uk", "ur-PK", "vi",
    "zh-Hans", "zh-Hant",
)
APPLE_MIN_FASTLANE = "2.234.0"

# fastlane supply/lib/supply/languages.rb (ALL_LANGUAGES, written there with
# "_"), the Play Console's listing languages (Play Console Help, "Add
# translations", answer 3125566), hyphenated as the Play Console shows them.
PLAY_LANGUAGES = (
    "af", "am", "ar", "az-AZ", "be", "bg", "bn-BD", "ca", "cs-CZ", "da-DK", "de-DE",
    "el-GR", "en-AU", "en-CA", "en-GB", "en-IN", "en-SG", "en-US", "en-ZA", "es-419",
    "es-ES", "es-US", "et", "eu-ES", "fa", "fi-FI", "fil", "fr-CA", "fr-FR", "gl-ES",
    "hi-IN", "hr", "hu-HU", "hy-AM", "id", "is-IS", "it-IT", "iw-IL", "ja-JP", "ka-GE",
    "km-KH", "kn-IN", "ko-KR", "ky-KG", "lo-LA", "lt", "lv", "mk-MK", "ml-IN", "mn-MN",
    "mr-IN", "ms", "ms-MY", "my-MM", "ne-NP", "nl-NL", "no-NO", "pl-PL", "pt-BR",
    "pt-PT", "rm", "ro", "ru-RU", "si-LK", "sk", "sl", "sr", "sv-SE", "sw", "ta-IN",
    "te-IN", "th", "tr-TR", "uk", "vi", "zh-CN", "zh-HK", "zh-TW", "zu",
)

# Locales a plain match cannot place: Chinese by region or script, the old
# code Play keeps for Hebrew, Norwegian Bokmål, and Latin American Spanish
# (the App Store's es-MX, Play's es-419).
APPLE_ALIASES = {
    "es-419": "es-MX",
    "zh": "zh-Hans", "zh-cn": "zh-Hans", "zh-sg": "zh-Hans", "zh-hans-cn": "zh-Hans",
    "zh-tw": "zh-Hant", "zh-hk": "zh-Hant", "zh-mo": "zh-Hant", "zh-hant-tw": "zh-Hant",
    "zh-hant-hk": "zh-Hant", "iw": "he", "iw-il": "he", "nb": "no", "nb-no": "no",
}
PLAY_ALIASES = {
    "es-mx": "es-419",
    "zh-hans": "zh-CN", "zh-hans-cn": "zh-CN", "zh-hant": "zh-TW", "zh-hant-tw": "zh-TW",
    "zh-hant-hk": "zh-HK", "he": "iw-IL", "he-il": "iw-IL", "nb": "no-NO", "nb-no": "no-NO",
}

STORES = {"apple": ("App Store", APPLE_LANGUAGES, APPLE_ALIASES),
          "play": ("Google Play", PLAY_LANGUAGES, PLAY_ALIASES)}


def store_language(locale, store, chosen=None):
    """The folder name of `locale` for `store` ("apple" or "play"), or None
    when the store's list has no code for it. `chosen` maps locales to the
    folder a set file names for them ("" leaves the locale out of the store,
    which is also None)."""
    if chosen and locale in chosen:
        return chosen[locale] or None
    _, codes, aliases = STORES[store]
    by_lower = {code.lower(): code for code in codes}
    key = locale.lower()
    if key in by_lower:
        return by_lower[key]
    if key in aliases:
        return aliases[key]
    language = key.split("-")[0]
    if language in by_lower:
        return by_lower[language]
    if language in aliases:
        return aliases[language]
    regional = [code for code in codes if code.lower().startswith(language + "-")]
    return regional[0] if len(regional) == 1 else None


def is_store_code(name, store):
    return name.lower() in {code.lower() for code in STORES[store][1]}


def store_name(store):
    return STORES[store][0]
