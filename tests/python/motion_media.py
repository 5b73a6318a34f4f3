"""Media for the motion pages, made on the spot: an animated GIF and a WebM
that the browser records itself (there is no video encoder on the machine).
The benchmark uses them too, and `motion_folder`, which puts the pages
beside their media."""
import http.server
import os
import shutil
import signal
import subprocess
import threading

# The first and the last frame of both, as RGB.
FIRST_COLOUR, LAST_COLOUR = (200, 40, 40), (20, 120, 60)


def write_gif(path):
    """Four solid frames, 100 ms each, looping for ever; the first is FIRST_COLOUR."""
    from PIL import Image
    frames = [Image.new("RGB", (64, 64), c) for c in (FIRST_COLOUR, (30, 90, 200), LAST_COLOUR, (240, 160, 0))]
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=100, loop=0)


RECORDER = b"""<!doctype html><canvas width="64" height="48"></canvas><script>
const canvas = document.querySelector('canvas'), ctx = canvas.getContext('2d');
const paint = (colour) => { ctx.fillStyle = colour; ctx.fillRect(0, 0, 64, 48); };
paint('rgb(200, 40, 40)');
const recorder = new MediaRecorder(canvas.captureStream(25), { mimeType: 'video/webm;codecs=vp8' });
const chunks = [];
recorder.ondataavailable = (e) => chunks.push(e.data);
recorder.onstop = () => fetch('/clip', { method: 'POST', body: new Blob(chunks) });
recorder.start();
const keep = setInterval(() => paint(ctx.fillStyle), 40);
setTimeout(() => paint('rgb(20, 120, 60)'), 600);
setTimeout(() => { clearInterval(keep); recorder.stop(); }, 1200);
</script>"""


def record_webm(path, browser):
    """A 1.2 s WebM that shows FIRST_COLOUR, then LAST_COLOUR, recorded by the
    browser itself from a canvas and posted back to a loopback server."""
    received = {}
    arrived = threading.Event()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(RECORDER)))
            self.end_headers()
            self.wfile.write(RECORDER)

        def do_POST(self):
            received["clip"] = self.rfile.read(int(self.headers["Content-Length"]))
            self.send_response(204)
            self.end_headers()
            arrived.set()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    recording = subprocess.Popen([browser, "--headless", "--no-sandbox", "--disable-gpu", "--mute-audio",
                                f"http://127.0.0.1:{server.server_address[1]}/"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        assert arrived.wait(30), "the browser recorded no video"
    finally:
        os.killpg(recording.pid, signal.SIGKILL)
        recording.wait()
        server.shutdown()
        server.server_close()
    path.write_bytes(received["clip"])


def motion_folder(folder, pages, browser):
    """The motion pages of `pages` (a tests/python/pages folder) copied into
    `folder` with the GIF and the WebM they show; returns `folder`."""
    for page in [pages / "motion.html", *(pages / "motion").glob("*.html")]:
        shutil.copy(page, folder)
    write_gif(folder / "spin.gif")
    record_webm(folder / "clip.webm", browser)
    return folder
