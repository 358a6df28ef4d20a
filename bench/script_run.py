#!/usr/bin/python3
"""The same upload run as a plain script, for comparison: script_run.py [--draft] SERVER_URL FOLDER

What a user would write instead of the app: requests in one keep-alive
Session, Pillow for the fit-and-centre on a transparent 512 square. It asks
for a token, then converts, uploads and looks up each image of FOLDER in
name order, writes the CSV report into a temporary folder, and prints the
wall time (imports and interpreter start left out, as the app's run leaves
out its start) with the time per icon split into conversion and the rest.
With --draft it lets libjpeg scale a JPEG down while decoding it
(Image.draft), as a tuned script would; a plain one decodes it whole.
Needs Debian's python3-requests and python3-pil (/usr/bin/python3).
"""

import csv
import io
import os
import sys
import tempfile
import time

import requests
from PIL import Image, ImageOps

SUPPORTED = {"png", "jpg", "jpeg", "gif"}


def png512(path, draft):
    with Image.open(path) as image:
        if draft:  # JPEG: the decoder scales down by 1/2, 1/4 or 1/8 on its own
            image.draft("RGB", (512, 512))
        image = ImageOps.exif_transpose(image).convert("RGBA")
        image = ImageOps.contain(image, (512, 512), Image.LANCZOS)
    canvas = Image.new("RGBA", (512, 512), (0, 0, 0, 0))
    canvas.paste(image, ((512 - image.width) // 2, (512 - image.height) // 2))
    out = io.BytesIO()
    canvas.save(out, "PNG")
    return out.getvalue()


def main():
    args = sys.argv[1:]
    draft = args[:1] == ["--draft"]
    if draft:
        args = args[1:]
    if len(args) != 2:
        sys.exit("usage: script_run.py [--draft] SERVER_URL FOLDER")
    server, folder = args[0].strip("/"), args[1]
    start = time.perf_counter()
    conversion = 0.0

    session = requests.Session()
    reply = session.post(server + "/api/v1/oauth/token",
                         data={"client_id": "bench", "client_secret": "bench", "grant_type": "client_credentials"})
    reply.raise_for_status()
    headers = {"Authorization": "Bearer " + reply.json()["access_token"]}

    names = sorted((n for n in os.listdir(folder)
                    if n.rpartition(".")[2].lower() in SUPPORTED and os.path.isfile(os.path.join(folder, n))),
                   key=str.lower)
    rows = []
    for name in names:
        converted = time.perf_counter()
        png = png512(os.path.join(folder, name), draft)
        conversion += time.perf_counter() - converted
        upload_name = name.rpartition(".")[0] + ".png"
        reply = session.post(server + "/api/v1/icon", headers=headers,
                             files={"file": (upload_name, png, "image/png")})
        reply.raise_for_status()
        icon_id = reply.json()["id"]
        reply = session.get("%s/api/v1/icon/%s" % (server, icon_id),
                            headers=dict(headers, Accept="application/json"))
        reply.raise_for_status()
        record = reply.json()
        rows.append([name, str(record["id"]), record.get("name", ""), record["url"]])

    with tempfile.TemporaryDirectory() as desktop:
        with open(os.path.join(desktop, "velk_icon_upload_results.csv"), "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f, quoting=csv.QUOTE_ALL, lineterminator="\n")
            f.write("Original File Name,Icon ID,Uploaded Icon Name,Icon URL\n")
            writer.writerows(rows)
    total = time.perf_counter() - start

    n = len(names)
    print("icons             %d" % n)
    print("run total         %.0f ms" % (total * 1000))
    if n:
        print("per icon          %.2f ms" % (total * 1000 / n))
        print("  conversion      %.2f ms" % (conversion * 1000 / n))
        print("  network & rest  %.2f ms" % ((total - conversion) * 1000 / n))


if __name__ == "__main__":
    main()
