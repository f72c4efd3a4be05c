#!/usr/bin/python3
"""XML signatures and encryption of the vexor tool, checked by an independent verifier
built from lxml's canonicalisation and the openssl command with the GOST engine, and the
other way round: documents signed that way verify in the library; for GOST R 34.10-2001 and
34.10-2012 (256 and 512 bits) keys. Also tampered and hostile documents.
Usage: xml_crosscheck.py BUILD_BIN_DIR"""
import base64
import copy
import os
import subprocess
import sys
import tempfile
import time

from lxml import etree

DS = 'http://www.w3.org/2000/09/xmldsig#'
XENC = 'http://www.w3.org/2001/04/xmlenc#'
EXC_C14N = 'http://www.w3.org/2001/10/xml-exc-c14n#'
C14N = 'http://www.w3.org/TR/2001/REC-xml-c14n-20010315'
CP = 'urn:ietf:params:xml:ns:cpxmlsec:algorithms:'

failures = []


def check(condition, what):
    print(('ok   ' if condition else 'FAIL ') + what)
    if not condition:
        failures.append(what)


def run(args, data=None, env=None):
    return subprocess.run(args, input=data, capture_output=True, env=env)


def openssl(*args, data=None):
    env = dict(os.environ, CRYPT_PARAMS='id-Gost28147-89-CryptoPro-A-ParamSet')
    r = run(['openssl', *args], data=data, env=env)
    if r.returncode != 0:
        raise RuntimeError('openssl %s: %s' % (' '.join(args), r.stderr.decode(errors='replace')))
    return r.stdout


# Per digest method: the openssl digest option; per signature method: the digest that goes
# with it.
DIGESTS = {
    'http://www.w3.org/2001/04/xmldsig-more#gostr3411': '-md_gost94',
    CP + 'gostr3411': '-md_gost94',
    CP + 'gostr34112012-256': '-md_gost12_256',
    CP + 'gostr34112012-512': '-md_gost12_512',
}
SIGNATURES = {
    'http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411': '-md_gost94',
    CP + 'gostr34102001-gostr3411': '-md_gost94',
    CP + 'gostr34102012-gostr34112012-256': '-md_gost12_256',
    CP + 'gostr34102012-gostr34112012-512': '-md_gost12_512',
}


def md(data, option='-md_gost94'):
    return openssl('dgst', '-engine', 'gost', option, '-binary', data=data)


class Tool:
    def __init__(self, bin_dir, work):
        self.exe = os.path.join(bin_dir, 'vexor')
        self.work = work

    def __call__(self, *args):
        return run([self.exe, *args, '--workdir', self.work])

    def file(self, name, data=None):
        path = os.path.join(self.work, name)
        if data is not None:
            with open(path, 'wb') as f:
                f.write(data)
        return path

    def read(self, name):
        with open(self.file(name), 'rb') as f:
            return f.read()


def q(ns, name):
    return '{%s}%s' % (ns, name)


def verify_independently(tool, signed):
    """The enveloped signature checked without the library: digest of the document without
    its Signature, then the signature over SignedInfo, both canonicalised by lxml."""
    doc = etree.fromstring(signed).getroottree()
    sig = doc.find('.//' + q(DS, 'Signature'))
    info = sig.find(q(DS, 'SignedInfo'))
    exclusive = info.find(q(DS, 'CanonicalizationMethod')).get('Algorithm') == EXC_C14N
    unsigned = copy.deepcopy(doc)
    gone = unsigned.find('.//' + q(DS, 'Signature'))
    gone.getparent().remove(gone)
    digest_option = DIGESTS[info.find('.//' + q(DS, 'DigestMethod')).get('Algorithm')]
    signature_option = SIGNATURES[info.find(q(DS, 'SignatureMethod')).get('Algorithm')]
    digest = md(etree.tostring(unsigned, method='c14n', exclusive=exclusive, with_comments=False), digest_option)
    expected = base64.b64decode(info.find('.//' + q(DS, 'DigestValue')).text)
    if digest != expected:
        return False
    cert = base64.b64decode(sig.find('.//' + q(DS, 'X509Certificate')).text)
    tool.file('signer.der', cert)
    openssl('x509', '-inform', 'DER', '-in', tool.file('signer.der'), '-out', tool.file('signer.pem'))
    tool.file('info.hash', md(etree.tostring(info, method='c14n', exclusive=exclusive), signature_option))
    tool.file('info.sig', base64.b64decode(sig.find(q(DS, 'SignatureValue')).text))
    r = run(['openssl', 'pkeyutl', '-engine', 'gost', '-verify', '-certin', '-inkey', tool.file('signer.pem'),
             '-in', tool.file('info.hash'), '-sigfile', tool.file('info.sig')])
    return r.returncode == 0


def sign_independently(tool, document, cert_pem, key_pem, kind='2001'):
    """An enveloped signature made with lxml and openssl, in the cpxmlsec identifiers and
    inclusive canonicalisation (the other family the library reads); `kind` 2001, 256 or 512
    is the signer's key."""
    if kind == '2001':
        method, digest_method, option = CP + 'gostr34102001-gostr3411', CP + 'gostr3411', '-md_gost94'
    else:
        method = CP + 'gostr34102012-gostr34112012-' + kind
        digest_method, option = CP + 'gostr34112012-' + kind, '-md_gost12_' + kind
    doc = etree.fromstring(document).getroottree()
    digest = md(etree.tostring(doc, method='c14n', exclusive=False, with_comments=False), option)
    E = lambda name, parent, **attrs: etree.SubElement(parent, q(DS, name), attrs, nsmap={'ds': DS})
    sig = E('Signature', doc.getroot())
    info = E('SignedInfo', sig)
    E('CanonicalizationMethod', info, Algorithm=C14N)
    E('SignatureMethod', info, Algorithm=method)
    ref = E('Reference', info, URI='')
    transforms = E('Transforms', ref)
    E('Transform', transforms, Algorithm=DS + 'enveloped-signature')
    E('Transform', transforms, Algorithm=C14N)
    E('DigestMethod', ref, Algorithm=digest_method)
    E('DigestValue', ref).text = base64.b64encode(digest).decode()
    signed_info = etree.tostring(info, method='c14n', exclusive=False)
    if kind == '2001':
        tool.file('mine.hash', md(signed_info))
        signature = openssl('pkeyutl', '-engine', 'gost', '-sign', '-inkey', key_pem, '-in', tool.file('mine.hash'))
    else:
        signature = openssl('dgst', '-engine', 'gost', option, '-sign', key_pem, '-binary', data=signed_info)
    E('SignatureValue', sig).text = base64.b64encode(signature).decode()
    der = openssl('x509', '-in', cert_pem, '-outform', 'DER')
    E('X509Certificate', E('X509Data', E('KeyInfo', sig))).text = base64.b64encode(der).decode()
    return etree.tostring(doc, xml_declaration=True, encoding='UTF-8')


def decrypt_independently(tool, encrypted, key_pem):
    """The EncryptedData opened with openssl alone: the engine unwraps the key transport,
    gost89 CFB (CryptoPro-A, key meshing) decrypts IV-prefixed content."""
    root = etree.fromstring(encrypted)
    transport = base64.b64decode(root.find('.//' + q(XENC, 'EncryptedKey') + '//' + q(XENC, 'CipherValue')).text)
    content = base64.b64decode(root.find(q(XENC, 'CipherData') + '/' + q(XENC, 'CipherValue')).text)
    tool.file('kt.der', transport)
    cek = openssl('pkeyutl', '-engine', 'gost', '-decrypt', '-inkey', key_pem, '-in', tool.file('kt.der'))
    return openssl('enc', '-engine', 'gost', '-d', '-gost89', '-K', cek.hex(), '-iv', content[:8].hex(),
                   data=content[8:])


def canonical(xml_bytes):
    return etree.tostring(etree.fromstring(xml_bytes), method='c14n')


def main():
    bin_dir = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix='vexor-xml-') as work:
        os.environ['VEXOR_CSP_HOME'] = os.path.join(work, 'csp')
        tool = Tool(bin_dir, work)
        users = {}
        for name, algorithm in (('Ivanov', 'gost2001'), ('Petrov', 'gost2001'), ('Sidorov', 'gost2012_256'),
                                ('Kozlov', 'gost2012_512')):
            key, pem = tool.file(name + '.key'), tool.file(name + '.pem')
            openssl('req', '-x509', '-engine', 'gost', '-newkey', algorithm, '-pkeyopt', 'paramset:A', '-nodes',
                    '-keyout', key, '-out', pem, '-subj', '/CN=' + name, '-days', '30', '-addext',
                    'keyUsage=digitalSignature,keyEncipherment,keyAgreement')
            r = tool('store', 'install', '--cert', pem, '--key', key, '--no-pin')
            assert r.returncode == 0, r.stderr
            users[name] = (pem, key)

        text = ('<Документ xmlns="urn:example" xmlns:x="urn:x" Номер="141"><!-- примечание -->'
                '<Текст x:lang="ru">Привет, мир &amp; всё</Текст>\n  <Пустой/></Документ>\n')
        for encoding in ('UTF-8', 'windows-1251'):
            document = ('<?xml version="1.0" encoding="%s"?>\n' % encoding + text).encode(encoding)
            r = tool('sign', '--format', 'xml', '--signer', 'Ivanov', '-i', tool.file('doc.xml', document), '-o',
                     tool.file('signed.xml'))
            check(r.returncode == 0, 'vexor signs a %s document' % encoding)
            signed = tool.read('signed.xml')
            check(verify_independently(tool, signed), 'lxml and openssl verify the %s signature' % encoding)
            r = tool('verify', '--format', 'xml', '-i', tool.file('signed.xml'))
            check(r.returncode == 0 and b'signature valid' in r.stdout, 'vexor verifies its %s signature' % encoding)

            value_at = signed.index(b'<ds:SignatureValue>') + len(b'<ds:SignatureValue>')
            flipped = b'BBBB' if signed[value_at:value_at + 4] == b'AAAA' else b'AAAA'
            tampered = {
                'a text node': signed.replace('Привет'.encode(encoding), 'Пока'.encode(encoding)),
                'an attribute': signed.replace(b'"141"', b'"142"'),
                'the SignatureValue': signed[:value_at] + flipped + signed[value_at + 4:],
            }
            check(not verify_independently(tool, tampered['a text node']),
                  'the independent verifier refuses the %s document with a changed text node' % encoding)
            for what, bad in tampered.items():
                r = tool('verify', '--format', 'xml', '-i', tool.file('bad.xml', bad))
                check(r.returncode == 14 and b'signature INVALID' in r.stdout,
                      'changing %s of the %s document makes the signature invalid' % (what, encoding))

            r = tool('encrypt', '--format', 'xml', '--to', 'Petrov', '-i', tool.file('doc.xml'), '-o',
                     tool.file('enc.xml'))
            check(r.returncode == 0, 'vexor encrypts the %s document' % encoding)
            plain = decrypt_independently(tool, tool.read('enc.xml'), users['Petrov'][1])
            check(canonical(plain) == canonical(document), 'openssl decrypts the %s element' % encoding)
            r = tool('decrypt', '--format', 'xml', '-i', tool.file('enc.xml'), '-o', tool.file('dec.xml'))
            check(r.returncode == 0 and canonical(tool.read('dec.xml')) == canonical(document),
                  'vexor decrypts the %s document' % encoding)

        # The signature goes in before the document element's end tag and leaves the rest of
        # the bytes alone, also with comments and processing instructions after the element;
        # an empty-element document element is signed through the tree. The canonical form
        # made while reading agrees with lxml's on namespaces declared, redeclared and
        # undeclared, attribute order and character references.
        namespaces = (b'<?pi-before data\n?>\n<!-- c --><r xmlns="urn:d" xmlns:a="urn:a" xmlns:unused="urn:u" '
                      b'a:z="1" b="&quot;&lt;&#9;&#10;&#13;&gt;" xml:lang="ru"><a:c xmlns:a="urn:a" a:k="v"/>'
                      b'<e xmlns=""><f xmlns="urn:d"/></e>x&lt;y&amp;z&gt;&#13;\n  <g a:q="2" '
                      b'xmlns:b="urn:b" b:p="3" p="0"/><p:s xmlns:p="urn:p"><p:t xmlns:p="urn:o"/></p:s></r>\n'
                      b'<?pi-after?>\n')
        for what, document in (('trailing comments', b'<a>\r\n<b x="1"/></a><!-- c --><?pi </a>?>\n'),
                               ('an empty document element', b'<?xml version="1.0"?><a x="&lt;"/>'),
                               ('namespaces and character references', namespaces)):
            r = tool('sign', '--format', 'xml', '--signer', 'Ivanov', '-i', tool.file('doc.xml', document), '-o',
                     tool.file('signed.xml'))
            check(r.returncode == 0, 'vexor signs a document with %s (%s)' % (what, r.stderr.decode(errors='replace')))
            check(verify_independently(tool, tool.read('signed.xml')),
                  'the signature of a document with %s verifies independently' % what)
        trailing = b'<a>\r\n<b x="1"/></a><!-- </a> --><?pi </a>?>\n'
        tool('sign', '--format', 'xml', '--signer', 'Ivanov', '-i', tool.file('doc.xml', trailing), '-o',
             tool.file('signed.xml'))
        spliced = tool.read('signed.xml')
        sig_at, sig_end = spliced.find(b'<ds:Signature'), spliced.find(b'</ds:Signature>') + len(b'</ds:Signature>')
        check(spliced[:sig_at] + spliced[sig_end:] == trailing,
              'signing leaves the document\'s own bytes as they were')

        plain_doc = ('<?xml version="1.0" encoding="UTF-8"?>\n' + text).encode()
        theirs = sign_independently(tool, plain_doc, *users['Petrov'])
        r = tool('verify', '--format', 'xml', '-i', tool.file('theirs.xml', theirs))
        check(r.returncode == 0 and b'signature valid' in r.stdout,
              'vexor verifies a signature made by lxml and openssl (cpxmlsec identifiers, inclusive C14N)')

        # GOST R 34.10-2012 signers and recipients: the methods follow the key.
        for name, kind in (('Sidorov', '256'), ('Kozlov', '512')):
            r = tool('sign', '--format', 'xml', '--signer', name, '-i', tool.file('doc.xml', plain_doc), '-o',
                     tool.file('signed12.xml'))
            signed12 = tool.read('signed12.xml')
            check(r.returncode == 0 and (b'gostr34102012-gostr34112012-%s"' % kind.encode()) in signed12 and
                  (b'gostr34112012-%s"' % kind.encode()) in signed12, 'vexor signs with a 2012-%s key' % kind)
            check(verify_independently(tool, signed12), 'lxml and openssl verify the 2012-%s signature' % kind)
            r = tool('verify', '--format', 'xml', '-i', tool.file('signed12.xml'))
            check(r.returncode == 0 and b'signature valid' in r.stdout, 'vexor verifies its 2012-%s signature' % kind)
            theirs = sign_independently(tool, plain_doc, *users[name], kind=kind)
            r = tool('verify', '--format', 'xml', '-i', tool.file('theirs.xml', theirs))
            check(r.returncode == 0 and b'signature valid' in r.stdout,
                  'vexor verifies a 2012-%s signature made by lxml and openssl dgst' % kind)
            r = tool('verify', '--format', 'xml', '-i',
                     tool.file('bad.xml', theirs.replace('Привет'.encode(), 'Пока'.encode())))
            check(r.returncode == 14 and b'signature INVALID' in r.stdout,
                  'a changed text node makes the openssl 2012-%s signature invalid' % kind)
            other = b'512' if kind == '256' else b'256'
            relabelled = signed12.replace(b'gostr34102012-gostr34112012-' + kind.encode(),
                                          b'gostr34102012-gostr34112012-' + other)
            r = tool('verify', '--format', 'xml', '-i', tool.file('bad.xml', relabelled))
            check(r.returncode == 14 and b'signature INVALID' in r.stdout,
                  'a 2012-%s signature method over a 2012-%s key is an invalid signature' % (other.decode(), kind))

            r = tool('encrypt', '--format', 'xml', '--to', name, '-i', tool.file('doc.xml'), '-o',
                     tool.file('enc12.xml'))
            encrypted = tool.read('enc12.xml')
            check(r.returncode == 0 and (CP + 'transport-gost2012-' + kind).encode() in encrypted,
                  'vexor encrypts to a 2012-%s recipient' % kind)
            plain = decrypt_independently(tool, encrypted, users[name][1])
            check(canonical(plain) == canonical(plain_doc), 'openssl decrypts the element sent to 2012-%s' % kind)
            r = tool('decrypt', '--format', 'xml', '-i', tool.file('enc12.xml'), '-o', tool.file('dec.xml'))
            check(r.returncode == 0 and canonical(tool.read('dec.xml')) == canonical(plain_doc),
                  'vexor decrypts the document sent to 2012-%s' % kind)

        nested = b'<a>' * 10000 + b'</a>' * 10000
        sig_start = signed.index(b'<ds:Signature')
        sig_end = signed.index(b'</ds:Signature>') + len(b'</ds:Signature>')
        hostile = {
            'billion laughs': b'<?xml version="1.0"?><!DOCTYPE l [<!ENTITY a "aaaaaaaaaa">' +
            b''.join(b'<!ENTITY %c "%s">' % (ord('b') + i, (b'&%c;' % (ord('a') + i)) * 10) for i in range(9)) +
            b']><l>&j;</l>',
            'an external entity': b'<?xml version="1.0"?><!DOCTYPE d [<!ENTITY x SYSTEM "file:///etc/passwd">]>'
            b'<d>&x;</d>',
            '10,000-deep nesting': nested,
            '100 MiB of attributes': b'<d ' + b''.join(b'a%d="%s" ' % (i, b'x' * 1000) for i in range(100 * 1024)) +
            b'/>',
            'a reference to a missing ID': signed.replace(b'URI=""', b'URI="#nowhere"'),
            'a reference to another document': signed.replace(b'URI=""', b'URI="http://example.com/x.xml"'),
            'two signatures': signed[:sig_end] + signed[sig_start:sig_end] + signed[sig_end:],
        }
        for what, bad in hostile.items():
            started = time.monotonic()
            r = tool('verify', '--format', 'xml', '-i', tool.file('hostile.xml', bad))
            took = time.monotonic() - started
            check(r.returncode not in (0, 14) and r.returncode < 128 and took < 20,
                  'a document with %s fails cleanly (exit %d, %.1f s)' % (what, r.returncode, took))

    if failures:
        print('%d check(s) failed' % len(failures))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
