"""Media for the motion pages (the benchmark's too), made on the spot: there is no video encoder here."""
import http.server
import os
import queue
import shutil
import signal
import subprocess
import threading

from PIL import Image

FIRST_COLOUR, LAST_COLOUR = (200, 40, 40), (20, 120, 60)  # the first and the last frame of both, as RGB
RECORDER = b"""<!doctype html><canvas width="64" height="48"></canvas><script>
const canvas = document.querySelector('canvas'), ctx = canvas.getContext('2d');
const paint = (colour) => { ctx.fillStyle = colour; ctx.fillRect(0, 0, 64, 48); }; paint('rgb(200, 40, 40)');
const recorder = new MediaRecorder(canvas.captureStream(25), { mimeType: 'video/webm;codecs=vp8' }), chunks = [];
recorder.ondataavailable = (e) => chunks.push(e.data);
recorder.onstop = () => fetch('/clip', { method: 'POST', body: new Blob(chunks) }); recorder.start();
const keep = setInterval(() => paint(ctx.fillStyle), 40);
setTimeout(() => paint('rgb(20, 120, 60)'), 600);
setTimeout(() => { clearInterval(keep); recorder.stop(); }, 1200);</script>"""


def record_webm(path, browser):
    """A 1.2 s WebM of FIRST_COLOUR, then LAST_COLOUR, recorded by the browser from a canvas and posted back."""
    clips = queue.Queue()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):  # HTTP/1.0: the body ends where the connection does
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(RECORDER)

        def do_POST(self):
            clips.put(self.rfile.read(int(self.headers["Content-Length"])))
            self.send_response(204)
            self.end_headers()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    recording = subprocess.Popen([browser, "--headless", "--no-sandbox", "--disable-gpu", "--mute-audio",
                                f"http://127.0.0.1:{server.server_address[1]}/"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        path.write_bytes(clips.get(timeout=30))
    finally:
        os.killpg(recording.pid, signal.SIGKILL)
        recording.wait()
        server.shutdown()
        server.server_close()


def motion_folder(folder, pages, browser):
    """`folder`, holding the motion pages of `pages` (a tests/python/pages folder) and their media."""
    for page in [pages / "motion.html", *(pages / "motion").glob("*.html")]:
        shutil.copy(page, folder)
    # A GIF of four solid frames, 100 ms each, looping for ever.
    frames = [Image.new("RGB", (64, 64), c) for c in (FIRST_COLOUR, (30, 90, 200), LAST_COLOUR, (240, 160, 0))]
    frames[0].save(folder / "spin.gif", save_all=True, append_images=frames[1:], duration=100, loop=0)
    record_webm(folder / "clip.webm", browser)
    return folder
