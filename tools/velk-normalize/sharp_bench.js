// The fit-and-centre into a 512x512 PNG done with sharp (libvips), for the
// side-by-side conversion benchmark: one thread, no cache, the picture
// turned upright by its EXIF orientation, resized to fit the square
// (reduced with Lanczos-3, JPEGs shrunk while decoded, sharp's default;
// enlarged with its bicubic, a Catmull-Rom cubic like ours, placed half a
// pixel right of and below the centre) on a transparent background, saved
// as PNG at sharp's default settings.
//
// Reads one file path per line from standard input and answers each, once
// converted, with "<wall ms> <cpu ms> <bytes>" or "error <message>", as
// `velk-normalize --serve` does, so that pillow_bench.py can interleave it
// with the other converters.
//
//   NODE_PATH=<folder holding sharp's node_modules> node sharp_bench.js
'use strict';

const readline = require('readline');
const sharp = require('sharp');

sharp.concurrency(1);
sharp.cache(false);

const SIDE = 512;

async function convert(path) {
    return sharp(path)
        .rotate()
        .resize(SIDE, SIDE, {fit: 'contain', kernel: 'lanczos3', background: {r: 0, g: 0, b: 0, alpha: 0}})
        .ensureAlpha()
        .png()
        .toBuffer();
}

async function main() {
    const lines = readline.createInterface({input: process.stdin, terminal: false});
    for await (const path of lines) {
        const wall = process.hrtime.bigint();
        const cpu = process.cpuUsage();
        try {
            const png = await convert(path);
            const used = process.cpuUsage(cpu);
            const wallMs = Number(process.hrtime.bigint() - wall) / 1e6;
            const cpuMs = (used.user + used.system) / 1000;
            process.stdout.write(`${wallMs.toFixed(3)} ${cpuMs.toFixed(3)} ${png.length}\n`);
        } catch (error) {
            process.stdout.write(`error ${String(error.message).split('\n')[0]}\n`);
        }
    }
}

main();
