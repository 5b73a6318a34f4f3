"""Set files: every kind of mistake named by file and key, and how a good
file expands into jobs and paths in both layouts. No browser."""
import pytest

from kestrelite.cli import main
from kestrelite.setfile import SetFileError, load_set
from kestrelite.store_languages import store_language

SCREENS = """
[[screen]]
name = "home"
page = "site/index.html?screen=home&lang={locale}#top"
[[screen]]
name = "tides"
page = "site/index.html?screen=tides"
"""


@pytest.fixture
def write_set(tmp_path):
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "index.html").write_text("<p>hi</p>")

    def write(text, screens=SCREENS):
        path = tmp_path / "kestrelite.toml"
        path.write_text(text + screens, encoding="utf-8")
        return path
    return write


@pytest.mark.parametrize("text, screens, message", [
    ('stores = ["apple"]\ncolour = 1\n', SCREENS, "colour: unknown key"),
    ('stores = ["apple"]\nseed = "x"\n', SCREENS, "seed: must be a whole number"),
    ('stores = ["apple"]\nseed = -1\n', SCREENS, "seed: must be between 0"),
    ('stores = ["apple"]\nlocales = "en-US"\n', SCREENS, "locales: must be a non-empty list of strings"),
    ('stores = ["apple"]\nlocales = ["en-US", "en_GB"]\n', SCREENS, "locales[2]: invalid locale 'en_GB'"),
    ('stores = ["apple"]\ntimezone = "Mars/Base"\n', SCREENS, "timezone: invalid time zone 'Mars/Base'"),
    ('stores = ["apple"]\ntimezones = { "en-US" = "" }\n', SCREENS, "timezones.en-US: invalid time zone ''"),
    ('stores = ["apple"]\nlocales = ["de-DE", "de-DE"]\n', SCREENS, "locales[2]: de-DE is listed twice"),
    ('stores = ["itunes"]\n', SCREENS, "stores[1]: unknown store 'itunes'"),
    ('devices = ["apple-iphone-6-9-1320", "nokia-3310"]\n', SCREENS, "devices[2]: unknown device id 'nokia-3310'"),
    ('stores = ["apple"]\ndevices = ["play-wear-os"]\n', SCREENS, "stores: give exactly one of stores and devices"),
    ('locales = ["en-US"]\n', SCREENS, "stores: give exactly one of stores and devices"),
    ('stores = ["apple"]\nlayout = "tree"\n', SCREENS, "layout: must be one of plain, fastlane"),
    ('stores = ["apple"]\nfeature_graphic = "map"\n', SCREENS, "feature_graphic: no screen is named 'map'"),
    ('stores = ["apple"]\npresets = "missing.json"\n', SCREENS, "presets: no such file"),
    ('stores = ["apple"]\n', "", "screen: the set has no [[screen]]"),
    ('stores = ["apple"]\n', SCREENS + '[[screen]]\nname = "home"\npage = "https://x.test/"\n',
     "screen[3].name: a screen named 'home' comes earlier"),
    ('stores = ["apple"]\n', '[[screen]]\nname = "my home"\npage = "https://x.test/"\n',
     "screen[1].name: 'my home' is not a plain file-name word"),
    ('stores = ["apple"]\n', '[[screen]]\nname = "home"\npage = "https://x.test/"\ntitle = "Home"\n',
     "screen[1].title: unknown key"),
    ('stores = ["apple"]\n', '[[screen]]\nname = "home"\n', "screen[1].page: missing"),
    ('stores = ["apple"]\n', '[[screen]]\nname = "home"\npage = "site/nothere.html?x=1"\n',
     "screen[1].page: 'site/nothere.html?x=1' is neither a URL nor an existing file"),
    ('stores = ["apple"]\n', '[[screen]]\nname = "home"\npage = "site/{locale}.html"\n',
     "screen[1].page: 'site/en-US.html' is neither a URL"),
    ('stores = ["apple"]\nseed = 4 2\n', SCREENS, "(at line 2, column"),
    ('layout = "fastlane"\nstores = ["apple"]\nlocales = ["en-IN"]\n', SCREENS,
     "locales: en-IN has no language code in App Store's list"),
    ('layout = "fastlane"\nstores = ["play"]\nlocales = ["en"]\n', SCREENS,
     "locales: en has no language code in Google Play's list"),
    ('layout = "fastlane"\nstores = ["apple"]\n', '[[screen]]\nname = "framed-home"\npage = "https://x.test/"\n',
     "screen[1].name: 'framed-home' contains 'framed'"),
    ('stores = ["apple"]\n', '[[screen]]\nname = "home"\npage = "https://x.test/"\nthreshold = -1\n',
     "screen[1].threshold: must be a whole number of pixels, 0 or more"),
    ('stores = ["apple"]\n', '[[screen]]\nname = "home"\npage = "https://x.test/"\nthreshold = 1.5\n',
     "screen[1].threshold: must be a whole number of pixels"),
    ('stores = ["apple"]\n', '[[screen]]\nname = "home"\npage = "https://x.test/"\nthreshold = "100.5%"\n',
     "screen[1].threshold: a share of the image must be 0% to 100%"),
    ('stores = ["apple"]\n', '[[screen]]\nname = "home"\npage = "https://x.test/"\nthreshold = "x%"\n',
     "screen[1].threshold: a share of the image must be 0% to 100%"),
])
def test_every_mistake_names_file_and_key(write_set, text, screens, message):
    path = write_set(text, screens)
    with pytest.raises(SetFileError) as caught:
        load_set(path)
    assert str(caught.value).startswith(f"{path}: ")
    assert message in str(caught.value)


def test_a_mistake_exits_2_before_any_browser(write_set, capsys, monkeypatch):
    monkeypatch.setenv("KESTRELITE_CHROME", "/nonexistent/browser")
    path = write_set('stores = ["apple"]\nseed = true\n')
    assert main(["run", str(path)]) == 2
    assert f"{path}: seed: must be a whole number" in capsys.readouterr().err


def test_plain_set_expands_screens_locales_devices(write_set, tmp_path):
    plan = load_set(write_set('devices = ["play-wear-os", "apple-watch-s3"]\nlocales = ["de-DE", "ja-JP"]\n'
                              'timezone = "UTC"\ntimezones = { "ja-JP" = "Asia/Tokyo" }\nseed = 7\n'))
    assert plan.out == tmp_path / "shots" and plan.seed == 7 and plan.layout == "plain"
    assert [job.key for job in plan.jobs][:3] == [("de-DE", "home", "play-wear-os"),
                                                  ("de-DE", "home", "apple-watch-s3"),
                                                  ("de-DE", "tides", "play-wear-os")]
    assert len(plan.jobs) == 8
    first = plan.jobs[0]
    assert first.path == "de-DE/home/play-wear-os.png"
    assert first.url == (tmp_path / "site" / "index.html").as_uri() + "?screen=home&lang=de-DE#top"
    assert {job.locale: job.timezone for job in plan.jobs} == {"de-DE": "UTC", "ja-JP": "Asia/Tokyo"}
    assert len(plan.digest) == 64


def test_fastlane_paths_languages_and_single_files(write_set):
    plan = load_set(write_set('layout = "fastlane"\nlocales = ["ja-JP", "zh-CN"]\ntv_banner = "tides"\n'
                              'devices = ["apple-iphone-6-9-1320", "apple-vision-pro", "play-phone-portrait",\n'
                              '  "play-feature-graphic", "play-tv-banner", "play-tablet-10-landscape",\n'
                              '  "play-automotive-portrait"]\n'))
    paths = {job.key: job.path for job in plan.jobs}
    assert paths[("ja-JP", "tides", "apple-iphone-6-9-1320")] == "fastlane/screenshots/ja/02_tides_apple-iphone-6-9-1320.png"
    assert paths[("zh-CN", "home", "apple-vision-pro")] == "fastlane/screenshots/zh-Hans/01_home_apple-vision-pro.png"
    play = "fastlane/metadata/android/ja-JP/images"
    assert paths[("ja-JP", "home", "play-phone-portrait")] == f"{play}/phoneScreenshots/01_home_play-phone-portrait.png"
    assert paths[("ja-JP", "home", "play-tablet-10-landscape")] == \
        f"{play}/tenInchScreenshots/01_home_play-tablet-10-landscape.png"
    assert paths[("ja-JP", "home", "play-feature-graphic")] == f"{play}/featureGraphic.png"
    assert paths[("ja-JP", "tides", "play-tv-banner")] == f"{play}/tvBanner.png"
    assert ("ja-JP", "tides", "play-feature-graphic") not in paths
    assert ("ja-JP", "home", "play-tv-banner") not in paths
    assert paths[("zh-CN", "home", "play-automotive-portrait")] == "other/zh-CN/01_home_play-automotive-portrait.png"
    assert any("play-automotive-portrait" in note for note in plan.notes)
    assert not any(word in path for path in paths.values() if "vision-pro" not in path for word in ("vision", "framed"))


# Expected folders: deliver's languages.rb (fastlane 2.234.0) and supply's languages.rb.
@pytest.mark.parametrize("locale, apple, play", [
    ("en-US", "en-US", "en-US"), ("de-DE", "de-DE", "de-DE"), ("ja-JP", "ja", "ja-JP"), ("ko-KR", "ko", "ko-KR"),
    ("zh-CN", "zh-Hans", "zh-CN"), ("zh-TW", "zh-Hant", "zh-TW"), ("he-IL", "he", "iw-IL"),
    ("es-MX", "es-MX", "es-419"), ("es-419", "es-MX", "es-419"), ("pt-PT", "pt-PT", "pt-PT"), ("th-TH", "th", "th"),
    ("fr-be", None, None), ("ar", "ar-SA", "ar"), ("bn", "bn-BD", "bn-BD"), ("ta", "ta-IN", "ta-IN"),
    ("sl", "sl-SI", "sl"), ("de-AT", "de-DE", "de-DE"), ("en-IN", None, "en-IN"),
])
def test_store_languages(locale, apple, play):
    assert (store_language(locale, "apple"), store_language(locale, "play")) == (apple, play)


def test_the_placeholders_a_page_may_hold(write_set):
    plan = load_set(write_set('layout = "fastlane"\nstores = ["apple", "play"]\nlocales = ["ja-JP"]\n',
                              '[[screen]]\nname = "home"\npage = "https://x.test/{language}/{apple_language}/'
                              '{play_language}?l={locale}&json={{}}"\n'))
    assert {job.url for job in plan.jobs} == {"https://x.test/ja/ja/ja-JP?l=ja-JP&json={}"}


def test_a_screen_on_some_devices_and_where_the_feature_graphic_comes_from(write_set):
    plan = load_set(write_set('layout = "fastlane"\ndevices = ["play-phone-portrait", "play-feature-graphic"]\n',
                              '[[screen]]\nname = "home"\npage = "https://x.test/"\ndevices = ["play-phone-portrait"]\n'
                              '[[screen]]\nname = "banner"\npage = "https://x.test/b"\nstores = ["play"]\n'))
    assert [(job.screen, job.device_id) for job in plan.jobs] == [
        ("home", "play-phone-portrait"), ("banner", "play-phone-portrait"), ("banner", "play-feature-graphic")]
    assert plan.jobs[-1].path == "fastlane/metadata/android/en-US/images/featureGraphic.png"


def test_locales_a_set_names_itself_and_one_play_folder_per_preset_group(write_set):
    plan = load_set(write_set(
        'layout = "fastlane"\nlocales = ["es-MX", "es-419", "ar"]\ntimezones = { "fr-FR" = "Europe/Paris" }\n'
        'devices = ["apple-watch-s3", "play-phone-portrait", "play-phone-landscape"]\n'
        'store_languages = { apple = { "es-419" = "" }, play = { "es-MX" = "es-US" } }\n'))
    folders = sorted({job.path.rsplit("/", 1)[0] for job in plan.jobs})
    assert folders == ["fastlane/metadata/android/ar/images/phoneScreenshots",
                       "fastlane/metadata/android/es-419/images/phoneScreenshots",
                       "fastlane/metadata/android/es-US/images/phoneScreenshots",
                       "fastlane/screenshots/ar-SA", "fastlane/screenshots/es-MX"]
    phones = sorted(job.path.rsplit("/", 1)[1] for job in plan.jobs if job.locale == "es-MX" and "android" in job.path)
    assert phones == ["a01_home_play-phone-portrait.png", "a02_tides_play-phone-portrait.png",
                      "b01_home_play-phone-landscape.png", "b02_tides_play-phone-landscape.png"]
    assert plan.warnings == [f"{plan.file}: timezones.fr-FR: fr-FR is not one of the set's locales; "
                             "its time zone is not used"]
