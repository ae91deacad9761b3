-- What may block the cancellation of an NF-e, as the ERP's accounting, tax and
-- finance modules keep it: accounting periods, apportionment maps and the
-- invoices' receivables. The application server reads them, and sets the
-- receivables of an invoice it cancels to cancelled ('C'); the screen reads
-- none of it.

-- Accounting periods of a company at a branch. IDSITUACAO 'A' open, 'F' closed:
-- an invoice issued on a day inside a closed period can no longer be
-- cancelled, since its entries are in closed books. A day outside every period
-- is open. Periods are calendar months in practice; the table takes any range.
CREATE TABLE PERIODOCONTABIL (
    CDEMPRESA  VARCHAR(2) NOT NULL,
    CDFILIAL   VARCHAR(4) NOT NULL,
    DTINICIO   DATE       NOT NULL,
    DTFIM      DATE       NOT NULL,
    IDSITUACAO VARCHAR(1) NOT NULL,
    CONSTRAINT PERIODOCONTABIL_PK PRIMARY KEY (CDEMPRESA, CDFILIAL, DTINICIO),
    CONSTRAINT PERIODOCONTABIL_EMPRESA FOREIGN KEY (CDEMPRESA) REFERENCES EMPRESA (CDEMPRESA),
    CONSTRAINT PERIODOCONTABIL_FILIAL FOREIGN KEY (CDFILIAL) REFERENCES FILIAL (CDFILIAL),
    CONSTRAINT PERIODOCONTABIL_SITUACAO CHECK (IDSITUACAO IN ('A', 'F')),
    CONSTRAINT PERIODOCONTABIL_DATAS CHECK (DTFIM >= DTINICIO)
);

-- Tax apportionment maps: the taxes of a state registration over a range of
-- issue dates have been apportioned (and reported) on DHAPURACAO. An invoice
-- issued within such a range is part of the reported figures and cannot be
-- cancelled.
CREATE TABLE MAPAAPURACAO (
    CDEMPRESA  VARCHAR(2)  NOT NULL,
    CDINSCESTA VARCHAR(16) NOT NULL,
    DTINICIO   DATE        NOT NULL,
    DTFIM      DATE        NOT NULL,
    DHAPURACAO VARCHAR(25) NOT NULL,
    CONSTRAINT MAPAAPURACAO_PK PRIMARY KEY (CDEMPRESA, CDINSCESTA, DTINICIO),
    CONSTRAINT MAPAAPURACAO_INSCRESTAD FOREIGN KEY (CDEMPRESA, CDINSCESTA)
        REFERENCES INSCRESTAD (CDEMPRESA, CDINSCESTA),
    CONSTRAINT MAPAAPURACAO_DATAS CHECK (DTFIM >= DTINICIO)
);

-- Receivables of an invoice, one row per instalment. IDSITUACAOTIT:
--   'A' open: cancelled together with its invoice ('C')
--   'B' settled, 'P' split into new instalments, 'R' due date extended,
--   'J' slip adjusted, 'E' slip issued, 'N' sent to the bank, 'S' associated
--   with another slip, 'D' trade bill generated: each blocks the cancellation
--   'C' cancelled
CREATE TABLE TITULORECEBER (
    NRLANCTONF    VARCHAR(10)   NOT NULL,
    NRPARCELA     INTEGER       NOT NULL,
    DTVENCIMENTO  DATE          NOT NULL,
    VRTITULO      NUMERIC(15,2) NOT NULL,
    IDSITUACAOTIT VARCHAR(1)    NOT NULL,
    CONSTRAINT TITULORECEBER_PK PRIMARY KEY (NRLANCTONF, NRPARCELA),
    CONSTRAINT TITULORECEBER_NOTAFISCAL FOREIGN KEY (NRLANCTONF) REFERENCES NOTAFISCAL (NRLANCTONF),
    CONSTRAINT TITULORECEBER_SITUACAO CHECK (IDSITUACAOTIT IN ('A', 'B', 'P', 'R', 'J', 'E', 'N', 'S', 'D', 'C'))
);
