"""Set files: every mistake named by file and key; how a good file expands in both layouts. No browser."""
import pytest

from kestrelite.cli import main
from kestrelite.setfile import load_set
from kestrelite.store_languages import store_language

SCREENS = ('[[screen]]\nname = "home"\npage = "site/index.html?screen=home&lang={locale}#top"\n'
           '[[screen]]\nname = "tides"\npage = "site/index.html?screen=tides"\n')
APPLE, FASTLANE = 'stores = ["apple"]\n', 'layout = "fastlane"\n'
HOME = '[[screen]]\nname = "home"\npage = "https://x.test/"\n'


@pytest.fixture
def write_set(tmp_path):
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "index.html").write_text("<p>hi</p>")

    def write(text, screens=SCREENS):
        (tmp_path / "kestrelite.toml").write_text(text + screens, encoding="utf-8")
        return tmp_path / "kestrelite.toml"
    return write


@pytest.mark.parametrize("text, screens, message", [
    (APPLE + "seed = -1\n", SCREENS, "seed: must be between 0"),
    (APPLE + "seed = 4 2\n", SCREENS, "(at line 2, column"),
    (APPLE + 'locales = ["en-US", "en_GB"]\n', SCREENS, "locales[2]: invalid locale 'en_GB'"),
    (APPLE + 'locales = ["de-DE", "de-DE"]\n', SCREENS, "locales[2]: de-DE is listed twice"),
    (APPLE + 'timezones = { "en-US" = "" }\n', SCREENS, "timezones.en-US: invalid time zone ''"),
    ('devices = ["apple-iphone-6-9-1320", "nokia-3310"]\n', SCREENS, "devices[2]: unknown device id 'nokia-3310'"),
    (APPLE + 'devices = ["play-wear-os"]\n', SCREENS, "stores: give exactly one of stores and devices"),
    ('locales = ["en-US"]\n', SCREENS, "stores: give exactly one of stores and devices"),
    (APPLE + 'layout = "tree"\n', SCREENS, "layout: must be one of plain, fastlane"),
    (APPLE + 'feature_graphic = "map"\n', SCREENS, "feature_graphic: no screen is named 'map'"),
    (APPLE + 'presets = "missing.json"\n', SCREENS, "presets: no such file"),
    (APPLE, "", "screen: the set has no [[screen]]"),
    (APPLE, SCREENS + HOME, "screen[3].name: a screen named 'home' comes earlier"),
    (APPLE, HOME.replace("home", "my home"), "screen[1].name: 'my home' is not a plain file-name word"),
    (APPLE, HOME + 'title = "Home"\n', "screen[1].title: unknown key"),
    (APPLE, '[[screen]]\nname = "home"\n', "screen[1].page: missing"),
    (APPLE, HOME.replace("https://x.test/", "site/{locale}.html?x=1"),
     "screen[1].page: 'site/en-US.html?x=1' is neither a URL nor an existing file"),
    (APPLE, HOME + 'threshold = "100.5%"\n', "screen[1].threshold: a share of the image must be 0% to 100%"),
    (FASTLANE + APPLE + 'locales = ["en-IN"]\n', SCREENS, "locales: en-IN has no language code in App Store's list"),
    (APPLE, HOME.replace("x.test/", "x.test/{lang}"), "screen[1].page: unknown placeholder {lang}; known: {locale}"),
    (FASTLANE + APPLE + 'locales = ["es-MX", "es-419"]\n', SCREENS, "locales: es-MX and es-419 both become the App Store "
     "folder fastlane/screenshots/es-MX, where one would overwrite the other: drop one of them"),
    (FASTLANE + APPLE, HOME.replace("home", "framed-home"), "screen[1].name: 'framed-home' contains 'framed'"),
])
def test_every_mistake_names_file_and_key_before_any_browser(write_set, capsys, monkeypatch, text, screens, message):
    monkeypatch.setenv("KESTRELITE_CHROME", "/nonexistent/browser")
    path = write_set(text, screens)
    assert main(["run", str(path)]) == 2
    error = capsys.readouterr().err
    assert error.startswith(f"kestrelite: {path}: ") and message in error


def test_plain_set_expands_screens_locales_devices(write_set, tmp_path):
    plan = load_set(write_set('devices = ["play-wear-os", "apple-watch-s3"]\nlocales = ["de-DE", "ja-JP"]\nseed = 7\n'))
    assert (plan.out, plan.seed, plan.layout, len(plan.jobs)) == (tmp_path / "shots", 7, "plain", 8)
    assert [job.key for job in plan.jobs][:3] == [
        ("de-DE", "home", "play-wear-os"), ("de-DE", "home", "apple-watch-s3"), ("de-DE", "tides", "play-wear-os")]
    assert plan.jobs[0].path == "de-DE/home/play-wear-os.png"
    assert plan.jobs[0].url == (tmp_path / "site" / "index.html").as_uri() + "?screen=home&lang=de-DE#top"


def test_fastlane_paths_and_single_files(write_set):
    plan = load_set(write_set(FASTLANE + 'locales = ["ja-JP"]\ntv_banner = "tides"\n'
                              'devices = ["apple-iphone-6-9-1320", "play-phone-portrait", "play-feature-graphic",\n'
                              '  "play-tv-banner", "play-tablet-10-landscape", "play-automotive-portrait"]\n'))
    paths, play = {job.key[1:]: job.path for job in plan.jobs}, "fastlane/metadata/android/ja-JP/images"
    expected = {
        ("tides", "apple-iphone-6-9-1320"): "fastlane/screenshots/ja/02_tides_apple-iphone-6-9-1320.png",
        ("home", "play-phone-portrait"): f"{play}/phoneScreenshots/01_home_play-phone-portrait.png",
        ("home", "play-tablet-10-landscape"): f"{play}/tenInchScreenshots/01_home_play-tablet-10-landscape.png",
        # One feature graphic (of the first screen) and one TV banner (of the screen named).
        ("home", "play-feature-graphic"): f"{play}/featureGraphic.png",
        ("tides", "play-tv-banner"): f"{play}/tvBanner.png",
        # No upload tool takes automotive screenshots: they go aside, with a note.
        ("home", "play-automotive-portrait"): "other/ja-JP/01_home_play-automotive-portrait.png"}
    assert {key: paths.get(key) for key in expected} == expected and len(paths) == 10
    assert any("play-automotive-portrait" in note for note in plan.notes)


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


def test_a_screen_on_some_devices_its_placeholders_and_where_the_feature_graphic_comes_from(write_set):
    plan = load_set(write_set(
        FASTLANE + 'locales = ["he-IL"]\ndevices = ["play-phone-portrait", "play-feature-graphic"]\n',
        '[[screen]]\nname = "home"\ndevices = ["play-phone-portrait"]\n'
        'page = "https://x.test/{language}/{apple_language}/{play_language}?l={locale}&json={{}}"\n'
        '[[screen]]\nname = "banner"\npage = "https://x.test/b"\nstores = ["play"]\n'))
    assert [(job.screen, job.device_id) for job in plan.jobs] == [
        ("home", "play-phone-portrait"), ("banner", "play-phone-portrait"), ("banner", "play-feature-graphic")]
    assert plan.jobs[0].url == "https://x.test/he/he/iw-IL?l=he-IL&json={}"  # Play's code for Hebrew is the old iw
    assert plan.jobs[-1].path == "fastlane/metadata/android/iw-IL/images/featureGraphic.png"


def test_locales_a_set_names_itself_and_one_play_folder_per_preset_group(write_set):
    plan = load_set(write_set(
        FASTLANE + 'locales = ["es-MX", "es-419", "ar"]\ntimezones = { "fr-FR" = "Europe/Paris" }\n'
        'devices = ["apple-watch-s3", "play-phone-portrait", "play-phone-landscape"]\n'
        'store_languages = { apple = { "es-419" = "" }, play = { "es-MX" = "es-US" } }\n'))
    assert sorted({job.path.rsplit("/", 1)[0] for job in plan.jobs}) == [
        *[f"fastlane/metadata/android/{code}/images/phoneScreenshots" for code in ("ar", "es-419", "es-US")],
        "fastlane/screenshots/ar-SA", "fastlane/screenshots/es-MX"]
    phones = sorted(job.path.rsplit("/", 1)[1] for job in plan.jobs if job.locale == "es-MX" and "android" in job.path)
    assert phones == ["a01_home_play-phone-portrait.png", "a02_tides_play-phone-portrait.png",
                      "b01_home_play-phone-landscape.png", "b02_tides_play-phone-landscape.png"]
    assert plan.warnings == [f"{plan.file}: timezones.fr-FR: fr-FR is not one of the set's locales; "
                             "its time zone is not used"]
