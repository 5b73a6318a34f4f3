"""Which folder name each store's upload tool expects for a locale.

The App Store's upload tool (fastlane deliver) accepts only the language codes
of App Store Connect, and Play's (fastlane supply) the codes of the Play
Console; they differ for many languages (`ja` against `ja-JP`, `zh-Hans`
against `zh-CN`, `he` against `iw-IL`). A locale maps to the store's code
that names it exactly (letter case aside), else through the aliases below,
else to its bare language when the store lists that. A locale with no code
is refused before any capture, naming the locale and the store.
"""

# fastlane, deliver/lib/deliver/languages.rb (ALL_LANGUAGES), the App Store
# Connect localizations.
APPLE_LANGUAGES = (
    "ar-SA", "bn", "ca", "cs", "da", "de-DE", "el", "en-AU", "en-CA", "en-GB", "en-US",
    "es-ES", "es-MX", "fi", "fr-CA", "fr-FR", "gu", "he", "hi", "hr", "hu", "id", "it",
    "ja", "kn", "ko", "ml", "mr", "ms", "nl-NL", "no", "or", "pa", "pl", "pt-BR",
    "pt-PT", "ro", "ru", "sk", "sl", "sv", "ta", "te", "th", "tr", "uk", "ur", "vi",
    "zh-Hans", "zh-Hant",
)

# fastlane, supply/lib/supply/languages.rb (ALL_LANGUAGES, written there with
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

# Locales a plain match cannot place: Chinese by script or region, the old
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
    "zh-hant-hk": "zh-HK", "he": "iw-IL", "he-il": "iw-IL", "ja": "ja-JP", "ko": "ko-KR",
    "de": "de-DE", "nb": "no-NO", "nb-no": "no-NO",
}

STORES = {"apple": ("App Store", APPLE_LANGUAGES, APPLE_ALIASES),
          "play": ("Google Play", PLAY_LANGUAGES, PLAY_ALIASES)}


def store_language(locale, store):
    """The folder name of `locale` for `store` ("apple" or "play"), or None
    when the store's list has no code for it."""
    _, codes, aliases = STORES[store]
    by_lower = {code.lower(): code for code in codes}
    key = locale.lower()
    if key in by_lower:
        return by_lower[key]
    if key in aliases:
        return aliases[key]
    return by_lower.get(key.split("-")[0])


def store_name(store):
    return STORES[store][0]
