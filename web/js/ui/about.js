// The About box: the host names its version in the Server header of every
// response, so the page shows the release that serves it.
import {$, setText} from './dom.js';

export function versionFromServer(header) {
    const match = /^oru-host\/(\S+)$/.exec(header || '');
    return match ? match[1] : null;
}

export function setupAbout() {
    const dialog = $('about');
    $('about-open').addEventListener('click', async () => {
        let version = null;
        try {
            version = versionFromServer((await fetch('/', {method: 'HEAD'})).headers.get('Server'));
        } catch {
            // The host is gone; the box says so instead of a version.
        }
        setText(
            'about-version',
            version ? `Version ${version}` : 'Version unknown: the host does not answer',
            !version,
        );
        dialog.showModal();
    });
    $('about-close').addEventListener('click', () => dialog.close());
}
