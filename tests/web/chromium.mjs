// What the page's test and its benchmark share: the page served on
// 127.0.0.1 by a server of their own, and Debian's Chromium, headless, with
// a new, empty profile, driven by puppeteer-core (which downloads no
// browser).
import fs from 'fs';
import http from 'http';
import { createRequire } from 'module';
import path from 'path';

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };

// Serves the files of `dir`; resolves to the page's URL and the server.
export async function servePage(dir) {
    const root = path.resolve(dir);
    const server = http.createServer((request, response) => {
        const name = path.join(root, path.normalize(decodeURIComponent(new URL(request.url, 'http://x').pathname)));
        const target = name.endsWith(path.sep) ? path.join(name, 'index.html') : name;
        if (!target.startsWith(root + path.sep) || !fs.existsSync(target) || !fs.statSync(target).isFile()) {
            response.writeHead(404).end();
            return;
        }
        response.writeHead(200, { 'Content-Type': types[path.extname(target)] || 'application/octet-stream' });
        fs.createReadStream(target).pipe(response);
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    return { url: `http://127.0.0.1:${server.address().port}/`, server };
}

// nodeModules: the folder puppeteer-core was installed into (node-modules.sh).
export function launchChromium(nodeModules, profile) {
    const puppeteer = createRequire(path.resolve(nodeModules, 'x.js'))('puppeteer-core');
    return puppeteer.launch({
        executablePath: '/usr/bin/chromium',
        headless: true,
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
               '--disable-component-update', '--disable-sync', `--user-data-dir=${profile}`,
               // Screen pixels as the page's own, to compare them.
               '--force-color-profile=srgb'],
    });
}
